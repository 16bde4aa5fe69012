#!/usr/bin/env python3
"""Fuzzes the whole Python surface of HushVault against a model of it.

Each input is read as a script: which vaults to make, which methods to call with which
arguments (any types, by position or keyword, missing, doubled, unknown), and objects whose
__index__, __bool__ and __str__ run further calls while the outer call is in progress. Every call's
outcome is compared with the model's: the result, or the exception class and its exact message.
Anything else raises Mismatch, which atheris reports with the input it saved.

    python fuzz_python.py [atheris/libFuzzer flags] [corpus dirs]   # fuzz (needs atheris)
    python fuzz_python.py --replay FILE_OR_DIR...                    # replay inputs, no atheris
"""

import contextlib
import copy
import operator
import os
import pickle
import sys
import warnings

from hush_vault import HushVault

REDACTED = "<HushVault: [REDACTED]>"
SERIALIZE = "HushVault objects cannot be serialized (pickled) for security reasons."
EQUALITY = "Direct equality comparison is disabled for security. Use .verify() for constant-time comparison."
WIPED = "Vault is wiped."
TTL = "TTL expired"
NOT_UTF8 = "Data is not valid UTF-8"
CANNOT_COMPARE = "Cannot compare: one or both vaults are wiped."
LOCK_PREFIX = "Failed to lock memory (VirtualLock): "
U64_MAX = 2**64 - 1
MISSING = object()  # a parameter that was not given
MAX_DEPTH = 3
MAX_VAULTS = 4

# Variables from_env can find; the last one is not UTF-8 on POSIX (an escaped byte).
ENV = {"HUSH_FUZZ_A": "s3cr3t", "HUSH_FUZZ_E": "", "HUSH_FUZZ_U": "\u00e9\U0001f600x" * 3}
if os.name == "posix":
    ENV["HUSH_FUZZ_BAD"] = "ab\udcff"
os.environ.update(ENV)


class Mismatch(AssertionError):
    pass


class Input:
    """The fuzz bytes as a stream of choices; reads past the end give zeros."""

    def __init__(self, data):
        self.data, self.pos = data, 0

    def byte(self):
        b = self.data[self.pos] if self.pos < len(self.data) else 0
        self.pos += 1
        return b

    def more(self):
        return self.pos < len(self.data)

    def below(self, n):
        return self.byte() % n if n > 1 else 0

    def pick(self, seq):
        return seq[self.below(len(seq))]

    def chance(self, one_in):
        """One time in one_in; never once the input is used up, so that every script ends."""
        return self.more() and self.below(one_in) == 0

    def blob(self, limit):
        return bytes(self.byte() for _ in range(self.below(limit + 1)))

    def text(self, limit, pieces=("a", "Z", "_", "\u00e9", "\U0001f600", "\ud800", "\udcff", "\x00", " ")):
        return "".join(self.pick(pieces) for _ in range(self.below(limit + 1)))


# ---------------------------------------------------------------------------------------------
# Objects that run code inside the module's conversions. While PURE is set (the model asking
# what they would do), they run no nested calls.
PURE = False


@contextlib.contextmanager
def pure():
    global PURE
    old, PURE = PURE, True
    try:
        yield
    finally:
        PURE = old


class Behaviour:
    """What a dunder does: maybe one nested call, then return a value or raise."""

    def __init__(self, fuzzer, outcome, nested):
        self.fuzzer, self.outcome, self.nested = fuzzer, outcome, nested

    def run(self):
        if self.nested and not PURE:
            self.fuzzer.nested_call()
        kind, value = self.outcome
        if kind == "raise":
            raise value()
        return value

    def __repr__(self):
        kind, value = self.outcome
        shown = value() if kind == "raise" else value
        return f"{kind} {shown!r}{' after a nested call' if self.nested else ''}"


class Index:
    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __index__(self):
        return self.behaviour.run()

    def __repr__(self):
        return f"Index({self.behaviour!r})"


class Strish:
    """An exception argument whose text comes from __str__."""

    def __init__(self, behaviour):
        self.behaviour = behaviour

    def __str__(self):
        return self.behaviour.run()

    def __repr__(self):
        return f"Strish({self.behaviour!r})"


class Kw(str):
    """A keyword name whose str() is scripted; its own characters are what binding matches."""

    behaviour = None

    def __str__(self):
        return self.behaviour.run()

    def __repr__(self):
        return f"Kw({str.__repr__(self)}, {self.behaviour!r})"


class Bytes(bytes):
    pass


def numpy_like(name, method, behaviour):
    """A type that passes for NumPy's boolean scalar by its module and name."""
    namespace = {"__module__": "numpy", "__repr__": lambda self: f"numpy-like {name} {method} {behaviour!r}"}
    if method == "__bool__":
        namespace["__bool__"] = lambda self: behaviour.run()
    elif method == "__len__":
        namespace["__len__"] = lambda self: behaviour.run()
    return type(name, (), namespace)()


# ---------------------------------------------------------------------------------------------
# The model.


class Error:
    """An expected exception: its class, its text and what else must hold."""

    def __init__(self, cls, text, cause=None, unraisable=0):
        self.cls, self.text, self.cause, self.unraisable = cls, text, cause, unraisable

    def matches(self, text):
        # The interpreter's own wording (a trailing "*") is checked up to where it names the type.
        if self.text.endswith("*"):
            return text.startswith(self.text[:-1])
        return text == self.text

    def __repr__(self):
        return f"{self.cls.__name__}({self.text!r})"


class Ok:
    def __init__(self, value, check=None):
        self.value, self.check = value, check

    def __repr__(self):
        return f"Ok({self.value!r})"


class VaultModel:
    def __init__(self, obj, secret, volatile, ttl):
        self.obj, self.secret, self.volatile, self.ttl = obj, secret, volatile, ttl
        self.wiped = self.expired = False
        self.held = 0  # the borrow flag while an outer call holds access: n shared, -1 exclusive

    def uncertain_ttl(self):
        return self.ttl is not None and self.ttl < 60 and not self.expired

    def __repr__(self):
        return f"vault#{id(self.obj) % 9973}({self.secret!r}, volatile={self.volatile}, ttl={self.ttl})"


def utf8_text(s):
    """A text as the module shows it: each byte that is not valid UTF-8 becomes U+FFFD."""
    return s.encode("utf-8", "surrogatepass").decode("utf-8", "replace")


def shown(obj):
    """The text of an object in a message, and whether its str() fails (reported as unraisable)."""
    try:
        with pure():
            text = str(obj)
        if not isinstance(text, str):
            raise TypeError
        return utf8_text(text), 0
    except Exception:
        return f"<unprintable {type(obj).__name__} object>", 1


def cast_error(obj, to):
    return Error(TypeError, f"'{type(obj).__qualname__}' object cannot be cast as '{to}'")


def wrap(name, inner):
    """The argument error for a raised inner exception instance (or a cast Error)."""
    if isinstance(inner, Error):
        return Error(TypeError, f"argument '{name}': {inner.text}")
    if type(inner) is TypeError:
        text, unraisable = shown(inner)
        return Error(TypeError, f"argument '{name}': {text}", cause=("cause", inner.__cause__), unraisable=unraisable)
    return Error(type(inner), str(inner))


def outcome_of(call):
    """What a side-effect-free call does: ('value', v) or ('raise', exception instance)."""
    try:
        with pure():
            return "value", call()
    except Exception as exc:  # noqa: BLE001 - the outcome is what is being modelled
        return "raise", exc


def expect_bytes(name, obj):
    return Ok(bytes(obj)) if isinstance(obj, bytes) else wrap(name, cast_error(obj, "bytes"))


def expect_text(name, obj):
    if not isinstance(obj, str):
        return wrap(name, cast_error(obj, "str"))
    kind, value = outcome_of(lambda: str.encode(obj, "utf-8"))
    return Ok(str.__str__(obj)) if kind == "value" else Error(type(value), str(value))


def expect_bool(name, obj):
    if obj is MISSING:
        return Ok(False)
    cls = type(obj)
    if cls is bool:
        return Ok(obj)
    if getattr(cls, "__module__", None) == "numpy" and cls.__name__ in ("bool_", "bool"):
        if not hasattr(cls, "__bool__"):  # the truth slot is __bool__'s alone; __len__ does not fill it
            return wrap(name, Error(TypeError, f"object of type '{shown(cls)[0]}' does not define a '__bool__' conversion"))
        kind, value = outcome_of(lambda: bool(obj))
        return Ok(value) if kind == "value" else wrap(name, value)
    return wrap(name, cast_error(obj, "bool"))


def expect_u64(name, obj):
    if isinstance(obj, int):
        value = int(obj)
    else:
        kind, value = outcome_of(lambda: operator.index(obj))
        if kind == "raise":
            return wrap(name, value)
    if value < 0:
        return Error(OverflowError, "can't convert negative int to unsigned")
    if value > U64_MAX:
        return Error(OverflowError, "int too big to convert")
    return Ok(value)


def expect_optional_u64(name, obj):
    return Ok(None) if obj is None or obj is MISSING else expect_u64(name, obj)


# Parameters of each method taking arguments: (function name, parameter names, required count).
SPECS = {
    "__new__": (("data", "volatile", "ttl_sec"), 1),
    "from_env": (("var_name", "volatile"), 1),
    "verify": (("other",), 1),
    "compare": (("other",), 1),
    "reveal_masked": (("suffix_len",), 1),
    "__exit__": (("_exc_type", "_exc_value", "_traceback"), 3),
    "__deepcopy__": (("_memo",), 1),
}


def expect_binding(function, args, kwargs):
    """The binding outcome: slots (MISSING for empty) or an Error."""
    names, required = SPECS[function]
    func = f"HushVault.{function}()"
    if len(args) > len(names):
        span = f"{len(names)}" if required == len(names) else f"from {required} to {len(names)}"
        was = "was" if len(args) == 1 else "were"
        return Error(TypeError, f"{func} takes {span} positional arguments but {len(args)} {was} given")
    slots = list(args) + [MISSING] * (len(names) - len(args))
    filled = [i < len(args) for i in range(len(names))]
    for key, value in kwargs.items():
        try:
            raw = str.encode(key, "utf-8")
        except UnicodeEncodeError:
            raw = None
        index = next((i for i, n in enumerate(names) if raw == n.encode()), None)
        if index is None:
            text, unraisable = shown(key)
            return Error(TypeError, f"{func} got an unexpected keyword argument '{text}'", unraisable=unraisable)
        if filled[index]:
            return Error(TypeError, f"{func} got multiple values for argument '{names[index]}'")
        slots[index], filled[index] = value, True
    missing = [f"'{n}'" for i, n in enumerate(names[:required]) if not filled[i]]
    if missing:
        if len(missing) == 1:
            listed = missing[0]
        elif len(missing) == 2:
            listed = " and ".join(missing)
        else:
            listed = ", ".join(missing[:-1]) + ", and " + missing[-1]
        word = "argument" if len(missing) == 1 else "arguments"
        return Error(TypeError, f"{func} missing {len(missing)} required positional {word}: {listed}")
    return slots


def masked(secret, suffix_len):
    hidden = len(secret) - suffix_len if suffix_len < len(secret) else 0
    return "*" * hidden + secret[hidden:].decode("utf-8", "replace")


# ---------------------------------------------------------------------------------------------
# The driver.


class Fuzzer:
    def __init__(self, data):
        self.inp = Input(data)
        self.vaults = []
        self.log = []
        self.depth = 0
        self.unraisable = []
        self.failure = None

    # --- values -------------------------------------------------------------------------------

    def behaviour(self, returns, text_arg=True):
        """A scripted dunder: returns one of `returns`, or raises something."""
        inp = self.inp
        nested = self.depth < MAX_DEPTH and inp.chance(2)
        if inp.chance(3):
            exc = inp.pick([TypeError, ValueError, RuntimeError, KeyError, UnicodeError, ArithmeticError, TypeSubError])
            arg = inp.pick(["boom", "", "\ud800x", None])
            if exc is TypeError and text_arg and inp.chance(2):
                arg = Strish(self.behaviour(["text", "\udcff", 7], text_arg=False))
            with_cause = inp.chance(3)

            def make(exc=exc, arg=arg, with_cause=with_cause):
                error = exc(arg) if arg is not None else exc()
                if with_cause:
                    error.__cause__ = CAUSE
                return error

            return Behaviour(self, ("raise", make), nested)
        return Behaviour(self, ("value", inp.pick(returns)), nested)

    def secret(self):
        inp = self.inp
        if inp.chance(2):
            return inp.text(8, ("a", "\u00e9", "\u20ac", "\U0001f600", "0")).encode()
        return inp.blob(12)

    def value(self, kind):
        """An argument, mostly of the kind the parameter wants, often not."""
        inp = self.inp
        choice = inp.below(16)
        if choice >= 8:
            choice = {"bytes": 0, "bool": 1, "int": 2, "str": 3, "vault": 4, "any": inp.below(8)}[kind]
        if choice == 0:
            data = self.secret()
            if self.vaults and inp.chance(2):
                data = inp.pick(self.vaults).secret
            return Bytes(data) if inp.chance(4) else data
        if choice == 1:
            if inp.chance(3):
                return numpy_like(inp.pick(["bool_", "bool", "int8"]), inp.pick(["__bool__", "__len__", None]),
                                  self.behaviour([True, False, 2, -1, 0, 1]))
            return inp.pick([True, False, None])
        if choice == 2:
            if inp.chance(2):
                return Index(self.behaviour([0, 1, 2, 3, 7, 100, -1, U64_MAX, 2**64, True, "x", 1.5]))
            return inp.pick([0, 1, 2, 3, 5, 40, -1, U64_MAX, 2**64, 2**70, True, False, 1.5, None])
        if choice == 3:
            return inp.pick(list(ENV) + ["HUSH_FUZZ_MISSING", "HUSH_FUZZ_A\x00B", "\ud800", inp.text(6)])
        if choice == 4 and self.vaults:
            return inp.pick(self.vaults).obj
        return inp.pick([None, bytearray(b"s3cr3t"), memoryview(b"x"), 3.5, "s3cr3t", [], object(), HushVault])

    def keyword(self, names):
        inp = self.inp
        key = inp.pick(list(names) + ["x", "ttl", "Data", "\udcff", "other\x00", inp.text(4)])
        if inp.chance(3):
            kw = Kw(key)
            kw.behaviour = self.behaviour(["shown", "\ud800", 5])
            return kw
        return key

    def arguments(self, function, kinds):
        """Positional and keyword arguments for a method, with binding faults now and then."""
        inp = self.inp
        names, _ = SPECS[function]
        npos = inp.below(len(names) + 2)
        args = [self.value(kinds[i] if i < len(kinds) else "any") for i in range(npos)]
        kwargs = {}
        for i in range(npos, len(names)):
            if not inp.chance(4):
                kwargs[names[i]] = self.value(kinds[i])
        if inp.chance(4):
            key = self.keyword(names)
            if key not in kwargs:
                kwargs[key] = self.value("any")
        if kwargs and inp.chance(3):
            items = list(kwargs.items())
            items.reverse()
            kwargs = dict(items)
        return args, kwargs

    # --- checking -----------------------------------------------------------------------------

    def call(self, what, expected, action):
        """Runs action(); compares with the expected Ok or Error. Returns (ok, result)."""
        self.log.append(f"{'  ' * self.depth}{what} -> expect {expected!r}")
        before = len(self.unraisable)
        try:
            result = action()
        except Mismatch:
            raise
        except Exception as exc:  # noqa: BLE001
            got = exc
            ok = False
        else:
            got = result
            ok = True
        unraisable = len(self.unraisable) - before
        if isinstance(expected, Ok) and expected.value is MISSING:
            pass  # the caller checks the result
        elif isinstance(expected, Ok):
            if expected.check is not None:
                if not ok or not expected.check(got):
                    self.fail(f"{what}: the result {got!r} is not the expected object")
            elif not ok or type(got) is not type(expected.value) or got != expected.value:
                self.fail(f"{what}: expected {expected!r}, got {got!r}")
        else:
            if ok or type(got) is not expected.cls or not expected.matches(str(got)):
                self.fail(f"{what}: expected {expected!r}, got {got!r}")
            if expected.cause is not None and (got.__cause__ is not expected.cause[1] or not got.__suppress_context__):
                self.fail(f"{what}: cause {got.__cause__!r} instead of {expected.cause[1]!r}")
        if unraisable != getattr(expected, "unraisable", 0):
            self.fail(f"{what}: {unraisable} unraisable reports, expected {getattr(expected, 'unraisable', 0)}")
        del self.unraisable[before:]  # accounted for: an outer call must not count them again
        if self.failure:
            raise Mismatch(self.failure)
        return ok, got

    def fail(self, message):
        # Kept as well as raised: a mismatch inside __str__ is only reported as unraisable.
        self.failure = self.failure or message + "\ncalls so far:\n" + "\n".join(self.log[-30:])
        raise Mismatch(self.failure)

    # --- operations ---------------------------------------------------------------------------

    def vault_for(self, need):
        """A random vault and whether access of the kind `need` is refused right now."""
        if not self.vaults:
            return None, None
        held = [m for m in self.vaults if m.held != 0]
        vm = self.inp.pick(held if held and self.inp.chance(2) else self.vaults)
        if need == "exclusive" and vm.held != 0:
            return vm, Error(RuntimeError, "Already borrowed")
        if need == "shared" and vm.held < 0:
            return vm, Error(RuntimeError, "Already mutably borrowed")
        return vm, None

    def guarded(self, vm, what, success, action, result_type):
        """reveal / reveal_bytes / bytes(): the access guard, then the reveal, then the burn."""
        if vm.expired:
            expected = Error(ValueError, TTL)
        elif vm.wiped:
            expected = Error(ValueError, WIPED)
        else:
            expected = success
        if vm.uncertain_ttl():
            # A short time to live may or may not have run out by now; either answer is right.
            self.log.append(f"{'  ' * self.depth}{what} (time to live {vm.ttl}s may have run out)")
            try:
                result = action()
            except ValueError as exc:
                if str(exc) == TTL:
                    vm.expired = vm.wiped = True
                    return
                got = exc
            else:
                got = result
            if isinstance(expected, Ok) and type(got) is result_type and got == expected.value:
                pass
            elif isinstance(expected, Error) and type(got) is expected.cls and expected.matches(str(got)):
                pass
            else:
                self.fail(f"{what}: expected {expected!r} or TTL expired, got {got!r}")
            ok = isinstance(expected, Ok)
        else:
            ok, _ = self.call(what, expected, action)
        if ok and vm.volatile:
            vm.wiped = True

    def op_new(self):
        args, kwargs = self.arguments("__new__", ["bytes", "bool", "int"])
        bound = expect_binding("__new__", args, kwargs)
        expected = bound
        if not isinstance(bound, Error):
            data, volatile, ttl = bound
            expected = expect_bytes("data", data)
            if isinstance(expected, Ok):
                v = expect_bool("volatile", volatile)
                t = expect_optional_u64("ttl_sec", ttl)
                expected = v if isinstance(v, Error) else t if isinstance(t, Error) else expected
        what = f"HushVault(*{args!r}, **{kwargs!r})"
        if isinstance(expected, Error):
            self.call(what, expected, lambda: HushVault(*args, **kwargs))
            return
        obj = self.construct(what, lambda: HushVault(*args, **kwargs))
        if obj is None:
            return
        with pure():
            volatile = expect_bool("volatile", volatile).value
            ttl = expect_optional_u64("ttl_sec", ttl).value
        self.adopt(VaultModel(obj, bytes(data), volatile, ttl))

    def op_from_env(self):
        args, kwargs = self.arguments("from_env", ["str", "bool"])
        bound = expect_binding("from_env", args, kwargs)
        expected = bound
        if not isinstance(bound, Error):
            name, volatile = bound
            expected = expect_text("var_name", name)
            if isinstance(expected, Ok):
                v = expect_bool("volatile", volatile)
                if isinstance(v, Error):
                    expected = v
                else:
                    text = expected.value
                    value = None if "\x00" in text else os.environb.get(os.fsencode(text)) if text else None
                    try:
                        value.decode("utf-8")
                    except (AttributeError, UnicodeDecodeError):
                        value = None
                    expected = Error(KeyError, repr("Env var not found")) if value is None else None
        what = f"HushVault.from_env(*{args!r}, **{kwargs!r})"
        if expected is not None:
            self.call(what, expected, lambda: HushVault.from_env(*args, **kwargs))
            return
        obj = self.construct(what, lambda: HushVault.from_env(*args, **kwargs))
        if obj is None:
            return
        with pure():
            volatile = expect_bool("volatile", volatile).value
        self.adopt(VaultModel(obj, value, volatile, None))

    def construct(self, what, action):
        """A constructor call expected to succeed: the new vault, or None when the memory lock
        was refused (the process's lock limit is reached: documented, not a fault)."""
        ok, got = self.call(what, Ok(MISSING), action)
        if not ok and type(got) is RuntimeError and str(got).startswith(LOCK_PREFIX):
            return None
        if not ok or type(got) is not HushVault:
            self.fail(f"{what}: expected a vault, got {got!r}")
        return got

    def adopt(self, vm):
        if len(self.vaults) >= MAX_VAULTS:
            old = self.vaults.pop(0)
            if old.held != 0:  # still in use further up: keep it
                self.vaults.append(old)
                return
        self.vaults.append(vm)

    def op_method(self):
        inp = self.inp
        name = inp.pick(["reveal", "reveal_bytes", "bytes", "reveal_masked", "verify", "compare", "wipe_py",
                         "__enter__", "__exit__", "__deepcopy__", "__getstate__", "__copy__", "repr", "eq",
                         "order", "hash", "copy", "pickle", "extra"])
        need = {"reveal": "exclusive", "reveal_bytes": "exclusive", "bytes": "exclusive", "wipe_py": "exclusive",
                "__exit__": "exclusive"}.get(name, "shared")
        vm, refused = self.vault_for(need)
        if vm is None:
            return
        v = vm.obj
        if name in ("reveal", "reveal_bytes", "bytes"):
            action = {"reveal": v.reveal, "reveal_bytes": v.reveal_bytes, "bytes": lambda: bytes(v)}[name]
            if refused:
                self.call(f"{vm}.{name}()", refused, action)
                return
            if name == "reveal":
                try:
                    success = Ok(vm.secret.decode("utf-8"))
                except UnicodeDecodeError:
                    success = Error(ValueError, NOT_UTF8)
                self.guarded(vm, f"{vm}.reveal()", success, action, str)
            else:
                self.guarded(vm, f"{vm}.{name}()", Ok(vm.secret), action, bytes)
            return
        if name in ("reveal_masked", "verify", "compare", "__exit__", "__deepcopy__"):
            kinds = {"reveal_masked": ["int"], "verify": ["bytes"], "compare": ["vault"],
                     "__exit__": ["any", "any", "any"], "__deepcopy__": ["any"]}[name]
            args, kwargs = self.arguments(name, kinds)
            what = f"{vm}.{name}(*{args!r}, **{kwargs!r})"
            method = getattr(v, name)
            bound = expect_binding(name, args, kwargs)
            if isinstance(bound, Error) or refused:
                self.call(what, bound if isinstance(bound, Error) else refused, lambda: method(*args, **kwargs))
                return
            getattr(self, "check_" + name.strip("_"))(vm, what, bound, lambda: method(*args, **kwargs))
            return
        if refused:
            action = {"wipe_py": v.wipe_py, "__enter__": v.__enter__, "__getstate__": v.__getstate__,
                      "__copy__": v.__copy__, "repr": lambda: repr(v), "copy": lambda: copy.copy(v),
                      "pickle": lambda: pickle.dumps(v)}.get(name)
            if action is not None:
                self.call(f"{vm}.{name}()", refused, action)
                return
        if name == "wipe_py":
            self.call(f"{vm}.wipe_py()", Ok(None), v.wipe_py)
            vm.wiped = True
        elif name == "__enter__":
            self.call(f"{vm}.__enter__()", Ok(v, check=lambda got: got is v), v.__enter__)
        elif name in ("__getstate__", "__copy__", "copy", "pickle"):
            action = {"__getstate__": v.__getstate__, "__copy__": v.__copy__, "copy": lambda: copy.copy(v),
                      "pickle": lambda: pickle.dumps(v)}[name]
            self.call(f"{vm}.{name}", Error(TypeError, SERIALIZE), action)
        elif name == "repr":
            self.call(f"repr/str({vm})", Ok(REDACTED), lambda: inp.pick([repr, str, format])(v))
        elif name == "eq":
            other = self.value("any")
            op = inp.pick([operator.eq, operator.ne, lambda a, b: b == a, lambda a, b: b != a])
            self.call(f"{vm} ==/!= {other!r}", Error(TypeError, EQUALITY), lambda: op(v, other))
        elif name == "order":
            other = inp.pick(self.vaults).obj
            self.call(f"{vm} < other", Error(TypeError, "'<' not supported between instances of *"),
                      lambda: v < other)
        elif name == "hash":
            self.call(f"hash({vm})", Error(TypeError, "unhashable type: *"), lambda: hash(v))
        elif name == "extra":
            self.call(f"{vm}.reveal(1)", Error(TypeError, "HushVault.reveal() takes no arguments (1 given)"),
                      lambda: v.reveal(1))

    def check_reveal_masked(self, vm, what, bound, action):
        with pure():
            converted = expect_u64("suffix_len", bound[0])
        expected = converted
        if isinstance(converted, Ok):
            expected = Error(ValueError, WIPED) if vm.wiped else Ok(masked(vm.secret, converted.value))
        with self.holding(vm, 1):
            self.call(what, expected, action)

    def check_verify(self, vm, what, bound, action):
        expected = expect_bytes("other", bound[0])
        if isinstance(expected, Ok):
            expected = Ok(not vm.wiped and expected.value == vm.secret)
        self.call(what, expected, action)

    def check_compare(self, vm, what, bound, action):
        other = bound[0]
        om = next((m for m in self.vaults if m.obj is other), None)
        if type(other) is not HushVault:
            expected = wrap("other", cast_error(other, "HushVault"))
        elif om is not None and om.held < 0:
            expected = Error(RuntimeError, "Already mutably borrowed")
        elif vm.wiped or (om.wiped if om else True):
            expected = Error(ValueError, CANNOT_COMPARE)
        else:
            expected = Ok(vm.secret == om.secret)
        self.call(what, expected, action)

    def check_exit(self, vm, what, bound, action):
        self.call(what, Ok(None), action)
        vm.wiped = True

    def check_deepcopy(self, vm, what, bound, action):
        self.call(what, Error(TypeError, SERIALIZE), action)

    @contextlib.contextmanager
    def holding(self, vm, count):
        vm.held += count
        try:
            yield
        finally:
            vm.held -= count

    def nested_call(self):
        """One more call from inside a conversion, with whatever access the outer calls hold."""
        self.depth += 1
        try:
            self.step()
        finally:
            self.depth -= 1

    def step(self):
        choice = self.inp.below(8)
        if choice == 0 or not self.vaults:
            self.op_new()
        elif choice == 1:
            self.op_from_env()
        else:
            self.op_method()

    def run(self):
        steps = 0
        while self.inp.more() and steps < 40:
            self.step()
            steps += 1
        if self.failure:
            raise Mismatch(self.failure)


class TypeSubError(TypeError):
    """Not exactly TypeError: passes the argument step unchanged."""


CAUSE = LookupError("the inner cause")


def test_one_input(data):
    fuzzer = Fuzzer(data)
    old_hook = sys.unraisablehook
    sys.unraisablehook = lambda report: fuzzer.unraisable.append(report.exc_type)
    try:
        fuzzer.run()
    finally:
        sys.unraisablehook = old_hook


def replay(paths):
    files = []
    for path in paths:
        if os.path.isdir(path):
            files += sorted(os.path.join(path, f) for f in os.listdir(path))
        elif os.path.exists(path):
            files.append(path)
    for path in files:
        print(f"replay {path}", file=sys.stderr, flush=True)
        with open(path, "rb") as f:
            test_one_input(f.read())
    print(f"{len(files)} inputs replayed")
    return 0 if files else 1


def main():
    warnings.simplefilter("ignore", DeprecationWarning)  # __index__ returning True
    if sys.argv[1:2] == ["--replay"]:
        sys.exit(replay(sys.argv[2:]))
    import atheris

    # Coverage of this file's model and driver guides the search; instrumenting everything loaded
    # would cost most of a short run's time.
    for value in list(globals().values()):
        for function in vars(value).values() if isinstance(value, type) else [value]:
            if getattr(function, "__module__", None) == __name__ and hasattr(function, "__code__"):
                atheris.instrument_func(function)
    atheris.Setup(sys.argv, test_one_input)
    atheris.Fuzz()


if __name__ == "__main__":
    main()
