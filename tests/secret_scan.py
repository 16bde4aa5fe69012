"""Finds copies of a secret in this process's memory without making copies of its own.

Imported by the scripts that the leak, fork and limit tests run in fresh interpreters (with the
default allocators: a debug allocator would overwrite freed memory and hide the copies we look
for). Secrets are made here from random bytes, straight into memory we own, and handed to Python
as exactly one bytes object. The scanner holds a secret only XOR-masked: process memory is read
into one fixed buffer that the scan leaves out, and searched there for the head and the tail of the
secret, unmasked only inside that buffer. On Linux the memory is read through /proc/self/mem; on
Windows the regions come from VirtualQuery and are read with ReadProcessMemory.
"""

import ctypes
import os
import sys

MASK = 0x5A
NEEDLE = 32  # bytes of the head and of the tail that are looked for
_CHUNK = 1 << 20

WINDOWS = sys.platform == "win32"

if WINDOWS:
    from ctypes import wintypes

    _kernel32 = ctypes.WinDLL("kernel32", use_last_error=True)
    _bcrypt = ctypes.WinDLL("bcrypt")
    _bcrypt.BCryptGenRandom.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_ulong,
                                        ctypes.c_ulong]
    _kernel32.MultiByteToWideChar.argtypes = [ctypes.c_uint, wintypes.DWORD, ctypes.c_char_p,
                                              ctypes.c_int, ctypes.c_void_p, ctypes.c_int]
    _kernel32.SetEnvironmentVariableW.argtypes = [wintypes.LPCWSTR, ctypes.c_void_p]
    _kernel32.GetCurrentProcess.restype = wintypes.HANDLE
    _kernel32.VirtualQuery.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t]
    _kernel32.VirtualQuery.restype = ctypes.c_size_t
    _kernel32.ReadProcessMemory.argtypes = [wintypes.HANDLE, ctypes.c_void_p, ctypes.c_void_p,
                                            ctypes.c_size_t, ctypes.POINTER(ctypes.c_size_t)]
    _kernel32.K32QueryWorkingSetEx.argtypes = [wintypes.HANDLE, ctypes.c_void_p, wintypes.DWORD]

    class _RegionInfo(ctypes.Structure):  # MEMORY_BASIC_INFORMATION
        _fields_ = [("base", ctypes.c_size_t), ("allocation_base", ctypes.c_void_p),
                    ("allocation_protect", wintypes.DWORD), ("partition", wintypes.WORD),
                    ("size", ctypes.c_size_t), ("state", wintypes.DWORD),
                    ("protect", wintypes.DWORD), ("type", wintypes.DWORD)]

    class _PageInfo(ctypes.Structure):  # PSAPI_WORKING_SET_EX_INFORMATION
        _fields_ = [("address", ctypes.c_size_t), ("attributes", ctypes.c_size_t)]

    _MEM_COMMIT = 0x1000
    _MEM_IMAGE = 0x1000000
    _READABLE = {0x02, 0x04, 0x08, 0x20, 0x40, 0x80}  # the PAGE_* values that may be read
    _UNWRITABLE = {0x02, 0x20}  # PAGE_READONLY, PAGE_EXECUTE_READ
    _PAGE_GUARD = 0x100
    _LOCKED_BIT = 22  # of a page's working-set attributes
else:
    _libc = ctypes.CDLL(None, use_errno=True)
    _libc.getrandom.argtypes = [ctypes.c_void_p, ctypes.c_size_t, ctypes.c_uint]
    _libc.setenv.argtypes = [ctypes.c_char_p, ctypes.c_void_p, ctypes.c_int]


class Secret:
    """A fresh secret: `data` is its only copy; `head` and `tail` are masked needles taken from
    its start and from near its end; `wide` the same two as UTF-16 (empty for invalid UTF-8), the
    form of Windows' environment and of its wide-character calls."""

    def __init__(self, data, head, tail, wide=(b"", b"")):
        self.data, self.head, self.tail, self.wide = data, head, tail, wide


def _random_ints(n):
    buffer = (ctypes.c_uint32 * n)()
    if WINDOWS:
        system_preferred_rng = 2
        assert _bcrypt.BCryptGenRandom(None, buffer, ctypes.sizeof(buffer), system_preferred_rng) == 0
    else:
        assert _libc.getrandom(buffer, ctypes.sizeof(buffer), 0) == ctypes.sizeof(buffer)
    return buffer


def _encode(code_point, out, at):
    """Writes the UTF-8 bytes of code_point into out at `at`; returns the next position."""
    if code_point < 0x80:
        out[at] = code_point
        return at + 1
    if code_point < 0x800:
        out[at], out[at + 1] = 0xC0 | code_point >> 6, 0x80 | code_point & 0x3F
        return at + 2
    if code_point < 0x10000:
        out[at] = 0xE0 | code_point >> 12
        out[at + 1], out[at + 2] = 0x80 | code_point >> 6 & 0x3F, 0x80 | code_point & 0x3F
        return at + 3
    out[at], out[at + 1] = 0xF0 | code_point >> 18, 0x80 | code_point >> 12 & 0x3F
    out[at + 2], out[at + 3] = 0x80 | code_point >> 6 & 0x3F, 0x80 | code_point & 0x3F
    return at + 4


def _encode_utf16(code_point, out, at):
    """Writes the UTF-16 units of code_point into out at `at`; returns the next position."""
    if code_point < 0x10000:
        out[at] = code_point
        return at + 1
    code_point -= 0x10000
    out[at], out[at + 1] = 0xD800 | code_point >> 10, 0xDC00 | code_point & 0x3FF
    return at + 2


# Each kind draws one character from a random 32-bit value.
KINDS = {
    "ascii": lambda r: 0x21 + r % 94,
    "two-byte": lambda r: 0x80 + r % (0x800 - 0x80),
    "three-byte": lambda r: 0x800 + r % (0xD800 - 0x800) if r & 1 else 0xE000 + r % 0x2000,
    "four-byte": lambda r: 0x10000 + r % 0x100000,
}


def make_secret(kind, size):
    """About `size` bytes of random text of `kind` (a KINDS key), or one of:
    "ascii-then-euro": ASCII letters ending in U+20AC; "invalid": random bytes, never UTF-8."""
    out = (ctypes.c_uint8 * (size + 4))()
    units = (ctypes.c_uint16 * (size + 4))()
    draws = _random_ints(size + 1)
    at = wide_at = 0
    if kind == "invalid":
        for i in range(size):
            out[i] = draws[i] & 0xFF
        out[size // 2] = 0xFF  # never part of UTF-8
        at = size
    else:
        draw = KINDS["ascii" if kind == "ascii-then-euro" else kind]
        limit = size - 3 if kind == "ascii-then-euro" else size
        i = 0
        while at < limit:
            at = _encode(draw(draws[i]), out, at)
            wide_at = _encode_utf16(draw(draws[i]), units, wide_at)
            i += 1
        if kind == "ascii-then-euro":
            at = _encode(0x20AC, out, at)
            wide_at = _encode_utf16(0x20AC, units, wide_at)
    n = min(NEEDLE, at)
    head = bytes(out[i] ^ MASK for i in range(n))
    # The tail stops short of the last character: a decoder that widens at a late non-ASCII
    # character leaves behind exactly the text before it.
    tail_end = at - 4 if at >= n + 4 else at
    tail = bytes(out[i] ^ MASK for i in range(tail_end - n, tail_end))
    m = min(NEEDLE // 2, wide_at)
    wide = tuple(bytes(b ^ MASK for u in units[start : start + m] for b in (u & 0xFF, u >> 8))
                 for start in (0, wide_at - m))
    data = ctypes.string_at(out, at)
    for buffer in (out, units, draws):
        ctypes.memset(buffer, 0, ctypes.sizeof(buffer))
    return Secret(data, head, tail, wide)


def setenv_secret(name, secret):
    """Puts the secret into the environment block (one copy, the block's own) without a str."""
    if WINDOWS:
        utf8, invalid_is_error = 65001, 8
        wide = (ctypes.c_wchar * (len(secret.data) + 1))()
        assert _kernel32.MultiByteToWideChar(utf8, invalid_is_error, secret.data,
                                             len(secret.data), wide, len(secret.data)) > 0
        assert _kernel32.SetEnvironmentVariableW(name, wide)
        ctypes.memset(wide, 0, ctypes.sizeof(wide))
        return
    raw = ctypes.create_string_buffer(secret.data, len(secret.data) + 1)
    assert _libc.setenv(name.encode(), raw, 1) == 0
    ctypes.memset(raw, 0, ctypes.sizeof(raw))


_terminal = None


def type_at_prompt(data, terminal):
    """The vault hush_vault_sources.from_prompt makes when `data` and a line feed are typed at a
    pseudo-terminal that this process (a session leader without a terminal) takes as its
    controlling terminal, or written to its standard input (a pipe) when `terminal` is false.
    No copy of data is made: the kernel's buffers take it from its own storage."""
    import hush_vault_sources
    import warnings

    global _terminal
    if not terminal:
        read, write = os.pipe()
        os.dup2(read, 0)
        os.close(read)
        os.write(write, data), os.write(write, b"\n"), os.close(write)
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # getpass's warning: echo cannot be controlled
            return hush_vault_sources.from_prompt()
    if _terminal is None:
        import fcntl
        import termios

        _terminal, slave = os.openpty()
        fcntl.ioctl(slave, termios.TIOCSCTTY, 0)

    def type_line():
        shown = b""
        while not shown.endswith(b"Password: "):  # typed ahead, the line would be discarded
            shown += os.read(_terminal, 1)
        os.write(_terminal, data), os.write(_terminal, b"\n")

    # A typist process, not a thread: a thread's stack may keep a piece of what it wrote, a copy
    # of the test's own in this process.
    typist = os.fork()
    if typist == 0:
        try:
            type_line()
        finally:
            os._exit(0)
    try:
        return hush_vault_sources.from_prompt()
    finally:
        os.waitpid(typist, 0)


def overwrite(obj):
    """Zeroes the storage of a bytes or str object in place."""
    if isinstance(obj, bytes):
        ctypes.memset(id(obj) + bytes.__basicsize__ - 1, 0, len(obj))
    elif isinstance(obj, str) and obj:
        width = 1 if ord(max(obj)) < 0x100 else 2 if ord(max(obj)) < 0x10000 else 4
        start = sys.getsizeof(obj) - (len(obj) + 1) * width
        ctypes.memset(id(obj) + start, 0, len(obj) * width)


class Scanner:
    """Reads memory into one buffer that the scan leaves out; the plain needle lives only there."""

    def __init__(self):
        self._raw = bytearray(_CHUNK + 4 * NEEDLE)  # a chunk, then up to four needles
        self._view = memoryview(self._raw)
        start = ctypes.addressof(ctypes.c_char.from_buffer(self._raw))
        self._own = (start, start + len(self._raw))

    def _regions(self):
        own_start, own_end = self._own
        for start, end in joined(readable_regions()):
            if own_end <= start or own_start >= end:
                yield start, end
                continue
            if start < own_start:
                yield start, own_start
            if own_end < end:
                yield own_end, end

    def _reader(self):
        """read(address, size): bytes of memory copied into the buffer's start, 0 if none."""
        if WINDOWS:
            process, got = _kernel32.GetCurrentProcess(), ctypes.c_size_t()

            def read(address, size):
                # A partial copy fails but reports how much it copied.
                got.value = 0
                _kernel32.ReadProcessMemory(process, address, self._own[0], size, ctypes.byref(got))
                return got.value

            read.close = lambda: None
            return read
        # Opened per scan: a descriptor inherited across fork would read the parent's memory.
        mem = os.open("/proc/self/mem", os.O_RDONLY)

        def read(address, size):
            try:
                return os.preadv(mem, [self._view[:size]], address)
            except OSError:
                return 0

        read.close = lambda: os.close(mem)
        return read

    def _find(self, *masked):
        """Where the plain bytes of each masked needle lie in this process's memory: one sorted
        list of addresses per needle, from one pass over the memory."""
        needles, at = [], _CHUNK
        for one in masked:
            for i, b in enumerate(one):
                self._raw[at + i] = b ^ MASK
            needles.append(self._view[at : at + len(one)])
            at += len(one)
        overlap = max(len(one) for one in masked) - 1
        found = [[] for _ in masked]
        read = self._reader()
        for start, end in list(self._regions()):
            at = start
            while at < end:
                size = min(_CHUNK, end - at)
                got = read(at, size)
                if got <= 0:
                    break
                for needle, hits in zip(needles, found):
                    hit = self._raw.find(needle, 0, got)
                    while hit >= 0:
                        hits.append(at + hit)
                        hit = self._raw.find(needle, hit + 1, got)
                if got < size or at + got >= end:
                    break
                at += got - overlap
        read.close()
        for needle in needles:
            needle.release()
        ctypes.memset(self._own[0], 0, len(self._raw))
        return [sorted(set(hits)) for hits in found]

    def addresses(self, masked):
        """Where the plain bytes of a masked needle lie in this process's memory."""
        return self._find(masked)[0]

    def count(self, secret):
        """(copies of the head, copies of the tail) of the secret in memory."""
        head, tail = self._find(secret.head, secret.tail)
        return len(head), len(tail)

    def count_all(self, secret):
        """Copies of the head and of the tail, as UTF-8 and then as UTF-16, in one pass."""
        needles = [secret.head, secret.tail, *secret.wide]
        found = iter(self._find(*[needle for needle in needles if needle]))
        return [len(next(found)) if needle else 0 for needle in needles]


def joined(regions):
    """Adjacent regions as one: a lock or a protection change splits a mapping at a page
    boundary, and a copy lying across that boundary is still one copy."""
    merged = []
    for start, end in regions:
        if merged and merged[-1][1] == start:
            merged[-1][1] = end
        else:
            merged.append([start, end])
    return merged


def readable_regions():
    """(start, end) of every region of this process's memory that can be read."""
    if not WINDOWS:
        with open("/proc/self/maps") as maps:
            lines = maps.read().splitlines()
        for line in lines:
            fields = line.split()
            if fields[1][0] == "r" and fields[-1] not in ("[vvar]", "[vsyscall]", "[vvar_vclock]"):
                start, end = (int(x, 16) for x in fields[0].split("-"))
                yield start, end
        return
    info, at = _RegionInfo(), 0
    while _kernel32.VirtualQuery(at, ctypes.byref(info), ctypes.sizeof(info)):
        at = info.base + info.size
        protect = info.protect & 0xFF
        # Read-only sections of loaded images are the files' own bytes, never written at run
        # time: most of the memory, and nothing of ours can be there.
        if (info.state == _MEM_COMMIT and protect in _READABLE and not info.protect & _PAGE_GUARD
                and not (info.type == _MEM_IMAGE and protect in _UNWRITABLE)):
            yield info.base, at


def locked_pages(addresses):
    """Windows: which of the pages holding these addresses are locked (QueryWorkingSetEx)."""
    pages = (_PageInfo * len(addresses))(*[(a, 0) for a in addresses])
    if not _kernel32.K32QueryWorkingSetEx(_kernel32.GetCurrentProcess(), pages,
                                          ctypes.sizeof(pages)):
        raise ctypes.WinError(ctypes.get_last_error())
    return [bool(p.attributes >> _LOCKED_BIT & 1) for p in pages]


def page_locked(address):
    """Whether the page holding address is locked: smaps on Linux (a lock splits the mapping to
    exactly its pages), QueryWorkingSetEx on Windows."""
    if WINDOWS:
        return locked_pages([address])[0]
    return page_flags(address)[1] > 0


def page_flags(address):
    """The VmFlags and the Locked: size (kB) of the mapping that holds address (smaps)."""
    flags, locked, inside = None, None, False
    with open("/proc/self/smaps") as smaps:
        for line in smaps:
            first = line.split(" ", 1)[0]
            if "-" in first and ":" not in first:
                start, end = (int(x, 16) for x in first.split("-"))
                inside = start <= address < end
            elif inside and line.startswith("Locked:"):
                locked = int(line.split()[1])
            elif inside and line.startswith("VmFlags:"):
                flags = set(line.split()[1:])
    return flags, locked
