"""HushVault.from_env: a vault filled from an environment variable."""

import os
import re
import string
import sys

import pytest

from hush_vault import HushVault

from conftest import run_python, set_env

try:
    import numpy
    NUMPY_BOOLS = {True: (numpy.True_,), False: (numpy.False_,)}
except ImportError:  # numpy 2 under Wine 8 (ucrtbase lacks crealf): test_binding says so
    NUMPY_BOOLS = {True: (), False: ()}

NAME = "HUSH_VAULT_FROM_ENV_TEST"
NOT_FOUND = "(?m)^'Env var not found'$"  # the first line; the note follows
WIPED = r"^Vault is wiped\.$"


def text_of_length(length, alphabet):
    return "".join(alphabet[i % len(alphabet)] for i in range(length))


ALPHABETS = {
    "ascii": string.ascii_letters + string.digits + string.punctuation,
    "latin": "\u00e9\u00fc\u00df",
    "astral": "\U0001f511a",
}


@pytest.mark.parametrize("alphabet", ALPHABETS.values(), ids=ALPHABETS)
@pytest.mark.parametrize("length", [0, 1, 511, 512, 513, 5000])
def test_value_round_trips_exactly(monkeypatch, length, alphabet):
    value = text_of_length(length, alphabet)
    set_env(monkeypatch, NAME, value)
    vault = HushVault.from_env(NAME)
    assert type(vault) is HushVault
    assert vault.reveal() == value
    assert vault.reveal_bytes() == value.encode("utf-8")
    assert vault.verify(value.encode("utf-8")) is True


@pytest.mark.parametrize("value", ["\u00e9", "caf\u00e9", "\U0001f511",
                                   "key=\U0001f511;\u00e9\x7f"])
def test_secret_is_the_utf8_encoding_of_the_value(monkeypatch, value):
    monkeypatch.setenv(NAME, value)
    vault = HushVault.from_env(NAME)
    encoded = value.encode("utf-8")
    assert vault.reveal_bytes() == encoded
    hidden = len(encoded) - 1
    assert vault.reveal_masked(1) == "*" * hidden + encoded[hidden:].decode(
        "utf-8", "replace")
    assert vault.reveal() == value


def test_empty_value_gives_an_empty_secret(monkeypatch):
    set_env(monkeypatch, NAME, "")
    vault = HushVault.from_env(NAME)
    assert vault.reveal() == ""
    assert vault.reveal_bytes() == b""
    assert vault.verify(b"") is True
    assert vault.reveal_masked(0) == ""


def not_set(name):
    return f"environment variable {name!r} is not set"


def test_missing_variable_raises_key_error(monkeypatch):
    monkeypatch.delenv(NAME, raising=False)
    with pytest.raises(KeyError, match=NOT_FOUND) as info:
        HushVault.from_env(NAME)
    assert info.value.args == ("Env var not found",)
    assert str(info.value) == "'Env var not found'"
    assert info.value.__notes__ == [not_set(NAME)]


@pytest.mark.skipif(sys.platform != "linux", reason="the fail-fast report is checked on Linux")
def test_note_on_a_missing_variable_never_ends_the_process():
    """The note only adds to the KeyError: an allocation refused while it shows the name leaves
    the KeyError or a MemoryError, never the module's fail-fast."""
    pytest.importorskip("_testcapi")
    for index in range(12):
        done = run_python(f"""
            import _testcapi
            from hush_vault import HushVault
            _testcapi.set_nomemory({index}, {index + 1})
            try:
                HushVault.from_env("HUSH_VAULT_NEVER_SET")
            except (KeyError, MemoryError):
                pass
            """)
        assert "not_found_note" not in done.stderr, (index, done.stderr)


def test_name_with_nul_or_equals_is_not_found(monkeypatch):
    # The part before the NUL exists, and NAME=a=b=c starts with "NAME=a": neither may be what
    # gets looked up.
    monkeypatch.setenv(NAME, "a=b=c")
    for name in (NAME + "\0", NAME + "\0suffix", "\0" + NAME, "\0",
                 NAME + "=a", NAME + "=", "=" + NAME, "=C:"):
        with pytest.raises(KeyError, match=NOT_FOUND) as info:
            HushVault.from_env(name)
        assert info.value.args == ("Env var not found",)
        assert info.value.__notes__ == [
            f"environment variable {name!r}: a name holding '=' or U+0000 is never looked up"
        ]
    assert os.environ[NAME] == "a=b=c" and os.environ.get(NAME + "=a") is None


def test_name_with_lone_surrogate_raises_encoding_error():
    with pytest.raises(UnicodeEncodeError) as info:
        HushVault.from_env("HUSH_\udcff")
    assert type(info.value) is UnicodeEncodeError
    assert not str(info.value).startswith("argument")
    assert info.value.object == "HUSH_\udcff"


@pytest.mark.parametrize("name", [1, NAME.encode(), None, ["x"]],
                         ids=lambda n: type(n).__name__)
def test_name_must_be_str(monkeypatch, name):
    monkeypatch.setenv(NAME, "value")
    expected = (f"argument 'var_name': '{type(name).__name__}' object "
                "cannot be cast as 'str'")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        HushVault.from_env(name)


def test_str_subclass_name_is_accepted(monkeypatch):
    class Name(str):
        pass

    monkeypatch.setenv(NAME, "sub")
    assert HushVault.from_env(Name(NAME)).reveal() == "sub"


def test_volatile_vault_burns_after_first_reveal(monkeypatch):
    monkeypatch.setenv(NAME, "burn-me")
    for volatile in (True, *NUMPY_BOOLS[True]):
        vault = HushVault.from_env(NAME, volatile)
        assert vault.reveal_masked(2) == "*****me"
        assert vault.reveal() == "burn-me"
        for call in (vault.reveal, vault.reveal_bytes,
                     lambda: vault.reveal_masked(0)):
            with pytest.raises(ValueError, match=WIPED):
                call()

    keyword = HushVault.from_env(var_name=NAME, volatile=True)
    assert bytes(keyword) == b"burn-me"
    with pytest.raises(ValueError, match=WIPED):
        bytes(keyword)

    for volatile in (False, *NUMPY_BOOLS[False]):
        lasting = HushVault.from_env(NAME, volatile=volatile)
        assert lasting.reveal() == lasting.reveal() == "burn-me"


@pytest.mark.parametrize("volatile", [1, 0, None, "yes"],
                         ids=lambda v: type(v).__name__ + repr(v))
def test_volatile_must_be_bool(monkeypatch, volatile):
    monkeypatch.setenv(NAME, "value")
    expected = (f"argument 'volatile': '{type(volatile).__name__}' object "
                "cannot be cast as 'bool'")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        HushVault.from_env(NAME, volatile=volatile)


def test_environment_is_left_unchanged(monkeypatch):
    value = "stays-put-\u00e9"
    monkeypatch.setenv(NAME, value)
    before = dict(os.environ)
    first = HushVault.from_env(NAME, volatile=True)
    assert first.reveal() == value
    first.wipe_py()
    assert os.environ[NAME] == value
    assert dict(os.environ) == before
    second = HushVault.from_env(NAME)
    third = HushVault.from_env(NAME)
    assert second.compare(third) is True
    assert second.reveal() == value
    assert dict(os.environ) == before


@pytest.mark.skipif(not hasattr(os, "environb"),
                    reason="needs a byte-level environment")
@pytest.mark.parametrize("raw", [b"\xff\xfe", b"abc\xc3", b"\xed\xa0\x80",
                                 b"\xc0\x80", b"ok\x80ok"], ids=repr)
def test_value_that_is_not_valid_text_is_not_found(monkeypatch, raw):
    monkeypatch.setitem(os.environb, NAME.encode(), raw)
    with pytest.raises(KeyError, match=NOT_FOUND) as info:
        HushVault.from_env(NAME)
    assert info.value.__notes__ == [f"environment variable {NAME!r}: its value is not valid UTF-8"]
    assert os.environb[NAME.encode()] == raw


@pytest.mark.skipif(not hasattr(os, "environb"),
                    reason="needs a byte-level environment")
def test_valid_utf8_set_as_bytes_is_read(monkeypatch):
    raw = "caf\u00e9 \U0001f511".encode()
    monkeypatch.setitem(os.environb, NAME.encode(), raw)
    vault = HushVault.from_env(NAME)
    assert vault.reveal_bytes() == raw
    assert vault.reveal() == raw.decode("utf-8")


def test_lookup_sees_the_current_environment(monkeypatch):
    monkeypatch.setenv(NAME, "one")
    assert HushVault.from_env(NAME).reveal() == "one"
    monkeypatch.setenv(NAME, "two" * 400)
    assert HushVault.from_env(NAME).reveal() == "two" * 400
    monkeypatch.delenv(NAME)
    with pytest.raises(KeyError, match=NOT_FOUND):
        HushVault.from_env(NAME)
