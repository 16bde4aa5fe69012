"""Argument binding and conversion: the messages, the rules and the order of failures."""

import os
import re

import pytest

from hush_vault import HushVault


NO_NUMPY = "numpy cannot load here (numpy 2 needs ucrtbase's crealf, which Wine 8 lacks)"


def raises(exception, message):
    return pytest.raises(exception, match="^" + re.escape(message) + "$")


@pytest.fixture
def vault():
    return HushVault(b"secret")


def test_binding_messages(vault):
    with raises(TypeError, "HushVault.__new__() missing 1 required positional argument: 'data'"):
        HushVault()
    with raises(TypeError, "HushVault.__new__() takes from 1 to 3 positional arguments but 4 were given"):
        HushVault(b"s", False, None, 1)
    with raises(TypeError, "HushVault.verify() missing 1 required positional argument: 'other'"):
        vault.verify()
    with raises(TypeError, "HushVault.verify() takes 1 positional arguments but 2 were given"):
        vault.verify(b"a", b"b")
    with raises(TypeError, "HushVault.verify() got multiple values for argument 'other'"):
        vault.verify(b"a", other=b"b")
    with raises(TypeError, "HushVault.verify() got an unexpected keyword argument 'x'"):
        vault.verify(x=b"a")
    with raises(TypeError, "HushVault.__new__() got multiple values for argument 'data'"):
        HushVault(b"s", data=b"t")
    with raises(TypeError, "HushVault.__new__() got an unexpected keyword argument 'ttl'"):
        HushVault(b"s", ttl=1)
    with raises(TypeError, "HushVault.from_env() takes from 1 to 2 positional arguments but 3 were given"):
        HushVault.from_env("A", False, 1)
    assert vault.verify(other=b"secret") is True


def test_missing_lists(vault):
    prefix = "HushVault.__exit__() missing "
    with raises(TypeError, prefix + "3 required positional arguments: '_exc_type', '_exc_value', and '_traceback'"):
        vault.__exit__()
    with raises(TypeError, prefix + "2 required positional arguments: '_exc_value' and '_traceback'"):
        vault.__exit__(None)
    with raises(TypeError, prefix + "1 required positional argument: '_traceback'"):
        vault.__exit__(None, _exc_value=None)
    with raises(TypeError, "HushVault.__exit__() takes 3 positional arguments but 4 were given"):
        vault.__exit__(None, None, None, None)


def test_keyword_texts_that_are_not_plain():
    class Loud(str):
        def __str__(self):
            raise RuntimeError("no text for you")

    unraisable = []
    import sys

    old_hook, sys.unraisablehook = sys.unraisablehook, unraisable.append
    try:
        with raises(TypeError, "HushVault.__new__() got an unexpected keyword argument '<unprintable Loud object>'"):
            HushVault(b"s", **{Loud("nope"): 1})
    finally:
        sys.unraisablehook = old_hook
    assert len(unraisable) == 1 and isinstance(unraisable[0].exc_value, RuntimeError)
    # A keyword that is not valid UTF-8: each byte of a lone surrogate shows as U+FFFD.
    with raises(TypeError, "HushVault.__new__() got an unexpected keyword argument '\ufffd\ufffd\ufffd'"):
        HushVault(b"s", **{"\udcff": 1})


def test_cast_errors_are_argument_errors():
    cases = [
        (lambda: HushVault("s"), "argument 'data': 'str' object cannot be cast as 'bytes'"),
        (lambda: HushVault(bytearray(b"s")), "argument 'data': 'bytearray' object cannot be cast as 'bytes'"),
        (lambda: HushVault(b"s", volatile=1), "argument 'volatile': 'int' object cannot be cast as 'bool'"),
        (lambda: HushVault(b"s", volatile=None), "argument 'volatile': 'NoneType' object cannot be cast as 'bool'"),
        (lambda: HushVault(b"s", ttl_sec=1.5), "argument 'ttl_sec': 'float' object cannot be interpreted as an integer"),
        (lambda: HushVault(b"s", ttl_sec="1"), "argument 'ttl_sec': 'str' object cannot be interpreted as an integer"),
        (lambda: HushVault.from_env(1), "argument 'var_name': 'int' object cannot be cast as 'str'"),
        (lambda: HushVault(b"s").compare(b"x"), "argument 'other': 'bytes' object cannot be cast as 'HushVault'"),
    ]
    for call, message in cases:
        with raises(TypeError, message) as caught:
            call()
        assert caught.value.__cause__ is None
        assert caught.value.__suppress_context__ is True


def test_wrapping_keeps_the_inner_cause():
    class Index:
        def __index__(self):
            try:
                raise KeyError("inner cause")
            except KeyError as cause:
                raise TypeError("bad index") from cause

    with raises(TypeError, "argument 'ttl_sec': bad index") as caught:
        HushVault(b"s", ttl_sec=Index())
    assert isinstance(caught.value.__cause__, KeyError)
    assert caught.value.__suppress_context__ is True


def test_other_errors_pass_unchanged():
    class SubTypeError(TypeError):
        pass

    class Index:
        def __index__(self):
            raise SubTypeError("subclass, not wrapped")

    with raises(SubTypeError, "subclass, not wrapped"):
        HushVault(b"s", ttl_sec=Index())
    with pytest.raises(OverflowError) as caught:
        HushVault(b"s", ttl_sec=-1)
    assert "argument" not in str(caught.value)
    with pytest.raises(OverflowError):
        HushVault(b"s", ttl_sec=2**64)
    with pytest.raises(OverflowError):
        HushVault(b"s").reveal_masked(-1)


def test_accepted_values():
    class Data(bytes):
        pass

    class Seconds:
        def __index__(self):
            return 7

    assert HushVault(Data(b"sub")).reveal_bytes() == b"sub"
    assert HushVault(b"s", ttl_sec=2**64 - 1).reveal() == "s"
    assert HushVault(b"s", ttl_sec=Seconds()).reveal() == "s"
    assert HushVault(b"s", ttl_sec=None).reveal() == "s"
    assert HushVault(data=b"kw", volatile=False, ttl_sec=True).reveal() == "kw"


def test_numpy_booleans():
    numpy = pytest.importorskip("numpy", reason=NO_NUMPY)
    burning = HushVault(b"s", volatile=numpy.bool_(True))
    burning.reveal()
    with raises(ValueError, "Vault is wiped."):
        burning.reveal()
    keeping = HushVault(b"s", volatile=numpy.bool_(False))
    keeping.reveal()
    assert keeping.reveal() == "s"
    with raises(TypeError, "argument 'volatile': 'int64' object cannot be cast as 'bool'"):
        HushVault(b"s", volatile=numpy.int64(1))
    # A type from a module named "numpy" that has no truth slot.
    fake = type("bool_", (), {"__module__": "numpy"})
    with raises(TypeError, "argument 'volatile': object of type \"<class 'numpy.bool_'>\" does not define a '__bool__' conversion".replace('"', "'")):
        HushVault(b"s", volatile=fake())


def test_order_of_failures(vault):
    # Binding first, then self, then the conversions in parameter order.
    with raises(TypeError, "argument 'data': 'str' object cannot be cast as 'bytes'"):
        HushVault("s", volatile=1, ttl_sec=1.5)
    with raises(TypeError, "argument 'volatile': 'int' object cannot be cast as 'bool'"):
        HushVault(b"s", volatile=1, ttl_sec=1.5)
    with raises(TypeError, "HushVault.__new__() takes from 1 to 3 positional arguments but 4 were given"):
        HushVault("s", 1, 1.5, 4)
    vault.wipe_py()
    with raises(TypeError, "argument 'suffix_len': 'str' object cannot be interpreted as an integer"):
        vault.reveal_masked("2")


def test_reentrant_access_is_refused():
    vault = HushVault(b"secret")
    seen = {}

    class Reenter:
        def __index__(self):
            # reveal_masked holds shared access while converting its argument.
            try:
                vault.wipe_py()
            except RuntimeError as error:
                seen["wipe"] = str(error)
            seen["shared"] = vault.verify(b"secret")
            return 2

    assert vault.reveal_masked(Reenter()) == "****et"
    assert seen == {"wipe": "Already borrowed", "shared": True}
    # The flag is free again: exclusive access works.
    vault.wipe_py()
    with raises(ValueError, "Vault is wiped."):
        vault.reveal()


class Token(bytes):
    pass


@pytest.mark.parametrize("secret", [b"", b"s3cr3t", "\u00e9t\u00e9".encode(), bytes(range(256))])
def test_usual_calls_agree_with_the_general_path(secret):
    # HushVault(b) and v.verify(b) have a shortcut past binding; spelled with keywords they take
    # the general path. Both must give the same vault and the same answers, and free the flag.
    usual, general = HushVault(Token(secret)), HushVault(data=secret)
    for candidate in (secret, Token(secret), secret + b"x", secret[:-1], b"\0" * len(secret)):
        expected = candidate == secret
        assert usual.verify(candidate) is expected
        assert general.verify(other=candidate) is expected
    # No burn and no time to live by default: two reveals work.
    assert usual.reveal_bytes() == usual.reveal_bytes() == general.reveal_bytes() == secret
    usual.wipe_py()  # exclusive access: every shortcut released the flag
    assert usual.verify(secret) is False
    with raises(ValueError, "Vault is wiped."):
        usual.reveal_bytes()


@pytest.mark.skipif(not hasattr(os, "fork"), reason="forks a child per allocation step")
def test_argument_error_under_exhausted_memory_is_never_an_empty_wrapper():
    """A MemoryError raised while an argument's error is being made stays a MemoryError; it is
    never wrapped as TypeError("argument 'data': ")."""
    from conftest import run_python

    pytest.importorskip("_testcapi")

    result = run_python(
        """
        import _testcapi, os, sys
        from hush_vault import HushVault
        for k in range(12):
            read, write = os.pipe()
            if os.fork() == 0:
                os.dup2(write, 1)
                os.dup2(write, 2)
                _testcapi.set_nomemory(k, k + 1)
                try:
                    HushVault("s")
                except BaseException as error:
                    _testcapi.remove_mem_hooks()
                    print(repr(error), flush=True)
                os._exit(0)
            os.close(write)
            with os.fdopen(read) as child:
                print(repr(child.read().strip()), flush=True)
            os.wait()
        """
    )
    assert result.returncode == 0, result.stderr
    outcomes = [eval(line) for line in result.stdout.splitlines()]
    assert len(outcomes) == 12
    wrapped = r"TypeError\(\"argument 'data': '.+' object cannot be cast as '.+'\"\)"
    for outcome in outcomes:
        # The exception raised, or the report of a fault that ended the process.
        assert (
            outcome.startswith("MemoryError(")
            or re.fullmatch(wrapped, outcome)
            or "hush_vault: internal fault" in outcome
            or outcome.startswith("memory allocation of")
        ), outcome


# Each entry that takes shared access, failing after it took it: a conversion, a refused other
# vault, or a refusal of its own. A leftover shared holder would refuse every later wipe.
SHARED_FAILURES = {
    "verify": lambda vault: vault.verify("secret"),
    "compare": lambda vault: vault.compare(b"secret"),
    "reveal_masked type": lambda vault: vault.reveal_masked("1"),
    "reveal_masked range": lambda vault: vault.reveal_masked(-1),
    "__getstate__": lambda vault: vault.__getstate__(),
    "__copy__": lambda vault: vault.__copy__(),
    "__deepcopy__": lambda vault: vault.__deepcopy__({}),
}


@pytest.mark.parametrize("entry", SHARED_FAILURES)
def test_failed_shared_call_releases_access(entry):
    vault = HushVault(b"secret")
    with pytest.raises((TypeError, OverflowError)):
        SHARED_FAILURES[entry](vault)
    vault.wipe_py()
    with raises(ValueError, "Vault is wiped."):
        vault.reveal()
