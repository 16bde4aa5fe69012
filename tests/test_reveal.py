"""Reveal operations: reveal, reveal_bytes, bytes() and reveal_masked.

Python's own UTF-8 codec is the oracle: ``reveal`` must accept exactly what
``bytes.decode("utf-8")`` accepts, and ``reveal_masked`` must decode the shown
tail exactly like ``decode("utf-8", "replace")``.
"""

import re
import time

import pytest
from hypothesis import given, settings, strategies as st

from hush_vault import HushVault

NOT_UTF8 = "^Data is not valid UTF-8$"
WIPED = r"^Vault is wiped\.$"
EXPIRED = "^TTL expired$"

# Byte fragments at the edges of well-formedness.
FRAGMENTS = [
    b"\xc0\x80", b"\xc1\xbf",              # overlong two-byte forms
    b"\xe0\x80\x80", b"\xe0\x9f\xbf",      # overlong three-byte forms
    b"\xf0\x80\x80\x80", b"\xf0\x8f\xbf\xbf",  # overlong four-byte forms
    b"\xed\xa0\x80", b"\xed\xbf\xbf",      # encoded surrogates
    b"\xf4\x90\x80\x80",                   # above U+10FFFF
    b"\xc3", b"\xe2\x82", b"\xf0\x9f\x94",  # truncated sequences
    b"\x80", b"\xbf", b"\x80\x80\x80",     # lone continuation bytes
    *(bytes([lead]) for lead in range(0xF5, 0x100)),  # never-valid bytes
    b"\xc2\x80", b"\xdf\xbf", b"\xc3\xa9",  # valid two-byte boundaries
    b"\xc3\xbf", b"\xc4\x80",              # U+00FF, U+0100: where str needs two bytes a character
    b"\xe0\xa0\x80", b"\xed\x9f\xbf", b"\xee\x80\x80", b"\xef\xbf\xbf",
    b"\xf0\x90\x80\x80", b"\xf0\x9f\x94\x91", b"\xf4\x8f\xbf\xbf",
    b"\x00", b"a", b"\x7f",
]

# The same fragments after every length of ASCII run, and a single odd
# fragment at every position inside a long ASCII run, so that any
# word-at-a-time fast path is exercised at each alignment.
ALIGNED = [b"x" * k + frag for k in range(34) for frag in FRAGMENTS[:17]]
ALIGNED += [b"y" * k + frag + b"z" * (70 - k) for k in range(0, 70, 3)
            for frag in (b"\xc3\xa9", b"\xff", b"\xed\xa0\x80", b"\x80")]
EDGE_INPUTS = list(dict.fromkeys(
    [b"", b"abcdef", "abcdé".encode(), *FRAGMENTS, *ALIGNED]))

secrets = st.one_of(
    st.binary(max_size=80),
    st.text(max_size=40).map(str.encode),
    st.lists(st.one_of(st.sampled_from(FRAGMENTS),
                       st.text(max_size=6).map(str.encode),
                       st.binary(max_size=4)),
             max_size=12).map(b"".join),
)


def masked_oracle(data, suffix_len):
    if suffix_len >= len(data):
        return data.decode("utf-8", "replace")
    hidden = len(data) - suffix_len
    return "*" * hidden + data[hidden:].decode("utf-8", "replace")


def strict_decode(data):
    try:
        return data.decode("utf-8")
    except UnicodeDecodeError:
        return None


def check_against_codec(data):
    vault = HushVault(data)
    expected = strict_decode(data)
    if expected is None:
        with pytest.raises(ValueError, match=NOT_UTF8) as info:
            vault.reveal()
        assert info.value.__cause__ is None
        assert info.value.__context__ is None
    else:
        assert vault.reveal() == expected
    assert vault.reveal_bytes() == data
    assert bytes(vault) == data
    for suffix_len in range(len(data) + 3):
        assert vault.reveal_masked(suffix_len) == masked_oracle(
            data, suffix_len), (data, suffix_len)
    # Nothing above burned or changed the non-volatile vault.
    assert vault.reveal_bytes() == data


@pytest.mark.parametrize("data", EDGE_INPUTS, ids=repr)
def test_edge_inputs_agree_with_python_codec(data):
    check_against_codec(data)


@settings(max_examples=400, deadline=None)
@given(secrets)
def test_random_inputs_agree_with_python_codec(data):
    check_against_codec(data)


GUARDED_REVEALS = {
    "reveal": lambda vault: vault.reveal(),
    "reveal_bytes": lambda vault: vault.reveal_bytes(),
    "bytes": bytes,
}


def make_burned():
    vault = HushVault(b"secret", volatile=True)
    assert vault.reveal() == "secret"
    return vault


def assert_all_report_wiped(vault):
    for reveal in GUARDED_REVEALS.values():
        with pytest.raises(ValueError, match=WIPED):
            reveal(vault)
    with pytest.raises(ValueError, match=WIPED):
        vault.reveal_masked(0)


@pytest.mark.parametrize("first", GUARDED_REVEALS)
def test_volatile_vault_burns_on_first_guarded_reveal(first):
    data = "clé".encode()
    vault = HushVault(data, volatile=True)
    expected = data.decode("utf-8") if first == "reveal" else data
    assert GUARDED_REVEALS[first](vault) == expected
    assert_all_report_wiped(vault)


def test_non_volatile_vault_reveals_repeatedly():
    vault = HushVault(b"again")
    for _ in range(3):
        assert vault.reveal() == "again"
        assert vault.reveal_bytes() == b"again"
        assert bytes(vault) == b"again"


def test_invalid_utf8_does_not_burn_volatile_vault():
    data = b"ok\xffok"
    vault = HushVault(data, volatile=True)
    for _ in range(2):
        with pytest.raises(ValueError, match=NOT_UTF8):
            vault.reveal()
    assert vault.reveal_masked(3) == masked_oracle(data, 3)
    assert vault.reveal_bytes() == data
    assert_all_report_wiped(vault)


def test_reveal_masked_never_burns_volatile_vault():
    vault = HushVault(b"s3cr3t", volatile=True)
    for suffix_len in (0, 2, 6, 100, 0, 2):
        assert vault.reveal_masked(suffix_len) == masked_oracle(
            b"s3cr3t", suffix_len)
    assert vault.reveal() == "s3cr3t"
    assert_all_report_wiped(vault)


def test_reveal_masked_suffix_len_conversion():
    vault = HushVault(b"abc")
    for negative in (-1, -(2 ** 70)):
        with pytest.raises(OverflowError) as info:
            vault.reveal_masked(negative)
        assert not str(info.value).startswith("argument")
    with pytest.raises(OverflowError):
        vault.reveal_masked(2 ** 64)
    assert vault.reveal_masked(2 ** 64 - 1) == "abc"
    assert vault.reveal_masked(True) == "**c"

    class Index:
        def __index__(self):
            return 2

    assert vault.reveal_masked(Index()) == "*bc"
    assert vault.reveal_masked(suffix_len=1) == "**c"
    assert vault.reveal_bytes() == b"abc"


@pytest.mark.parametrize("bad", [1.5, "2", None, b"1"], ids=repr)
def test_reveal_masked_argument_error_wins_over_wiped_state(bad):
    vault = make_burned()
    expected = (f"argument 'suffix_len': '{type(bad).__name__}' object "
                "cannot be interpreted as an integer")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        vault.reveal_masked(bad)
    with pytest.raises(ValueError, match=WIPED):
        vault.reveal_masked(0)


def expired_vault(data=b"secret", volatile=False):
    vault = HushVault(data, volatile=volatile, ttl_sec=0)
    time.sleep(0.05)
    return vault


@pytest.mark.parametrize("first", GUARDED_REVEALS)
def test_expired_vault(first):
    vault = expired_vault(volatile=True)
    # The display aid ignores the time to live until a guarded reveal runs.
    for suffix_len in (2, 0, 6):
        assert vault.reveal_masked(suffix_len) == masked_oracle(
            b"secret", suffix_len)
    with pytest.raises(ValueError, match=EXPIRED):
        GUARDED_REVEALS[first](vault)
    with pytest.raises(ValueError, match=WIPED):
        vault.reveal_masked(2)
    # Once the time to live has run out, guarded reveals keep saying so.
    for reveal in GUARDED_REVEALS.values():
        with pytest.raises(ValueError, match=EXPIRED):
            reveal(vault)


def test_expired_and_wiped_vault_still_reports_expiry():
    vault = expired_vault()
    vault.wipe_py()
    with pytest.raises(ValueError, match=EXPIRED):
        vault.reveal()
    with pytest.raises(ValueError, match=WIPED):
        vault.reveal_masked(0)


def test_unexpired_ttl_reveals_normally():
    vault = HushVault(b"fresh", ttl_sec=3600)
    assert vault.reveal() == "fresh"
    assert bytes(vault) == b"fresh"


def test_empty_secret():
    vault = HushVault(b"")
    assert vault.reveal() == ""
    assert vault.reveal_bytes() == b""
    assert bytes(vault) == b""
    for suffix_len in (0, 1, 2 ** 64 - 1):
        assert vault.reveal_masked(suffix_len) == ""

    volatile = HushVault(b"", volatile=True)
    assert volatile.reveal_masked(0) == ""
    assert volatile.reveal() == ""
    assert_all_report_wiped(volatile)

    volatile = HushVault(b"", volatile=True)
    assert bytes(volatile) == b""
    assert_all_report_wiped(volatile)
