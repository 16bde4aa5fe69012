"""Comparison: verify, compare, and the closed comparison operators.

``hmac.compare_digest`` is the oracle for what equal contents mean.
"""

import hmac
import re
import subprocess
import sys
import textwrap
import time

import pytest
from hypothesis import given, settings, strategies as st

from hush_vault import HushVault

EQUALITY_REFUSED = re.escape(
    "Direct equality comparison is disabled for security. "
    "Use .verify() for constant-time comparison.")
BOTH_WIPED = re.escape("Cannot compare: one or both vaults are wiped.")


def near_misses(secret):
    """Candidates that differ from ``secret`` in one place each."""
    yield secret
    yield secret + b"\x00"
    yield b"\x00" + secret
    if secret:
        yield secret[:-1]
        yield secret[1:]
    for i in range(len(secret)):
        yield secret[:i] + bytes([secret[i] ^ 0x01]) + secret[i + 1:]
        yield secret[:i] + bytes([secret[i] ^ 0x80]) + secret[i + 1:]


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=48), st.binary(max_size=48))
def test_verify_agrees_with_compare_digest(secret, unrelated):
    vault = HushVault(secret)
    for candidate in (*near_misses(secret), unrelated):
        assert vault.verify(candidate) is hmac.compare_digest(
            secret, candidate), (secret, candidate)
    assert vault.verify(other=secret) is True
    assert vault.reveal_bytes() == secret


def test_verify_accepts_bytes_subclass_and_empty_secret():
    class Token(bytes):
        pass

    assert HushVault(b"abc").verify(Token(b"abc")) is True
    empty = HushVault(b"")
    assert empty.verify(b"") is True
    assert empty.verify(b"\x00") is False


def test_verify_never_burns_volatile_vault():
    vault = HushVault(b"pin-1234", volatile=True)
    for candidate in (b"pin-1234", b"pin-1235", b"", b"pin-1234", b"x" * 9):
        assert vault.verify(candidate) is hmac.compare_digest(
            b"pin-1234", candidate)
    assert vault.reveal() == "pin-1234"
    assert vault.verify(b"pin-1234") is False  # burned by the reveal


def test_wiped_vault_verifies_nothing():
    vault = HushVault(b"gone")
    vault.wipe_py()
    for candidate in (b"gone", b"", b"\x00" * 4, b"other"):
        assert vault.verify(candidate) is False
    empty = HushVault(b"", volatile=True)
    empty.reveal()
    assert empty.verify(b"") is False


@pytest.mark.parametrize("wiped", [False, True])
@pytest.mark.parametrize("other", ["secret", bytearray(b"secret"),
                                   memoryview(b"secret"), None, 1],
                         ids=lambda o: type(o).__name__)
def test_verify_checks_argument_type_first(other, wiped):
    vault = HushVault(b"secret")
    if wiped:
        vault.wipe_py()
    expected = (f"argument 'other': '{type(other).__name__}' object "
                "cannot be cast as 'bytes'")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        vault.verify(other)


@settings(max_examples=200, deadline=None)
@given(st.binary(max_size=40), st.binary(max_size=40))
def test_compare_agrees_with_compare_digest(left, unrelated):
    vault = HushVault(left)
    for right in (*near_misses(left), unrelated):
        other = HushVault(right)
        expected = hmac.compare_digest(left, right)
        assert vault.compare(other) is expected
        assert other.compare(other=vault) is expected
    assert vault.compare(vault) is True


def test_compare_with_a_wiped_vault_fails():
    def pair():
        return HushVault(b"same"), HushVault(b"same")

    left, right = pair()
    left.wipe_py()
    right_first, wiped_second = pair()
    wiped_second.wipe_py()
    both = pair()
    for vault in both:
        vault.wipe_py()
    for a, b in ((left, right), (right_first, wiped_second), both,
                 (left, left)):
        with pytest.raises(ValueError, match=f"^{BOTH_WIPED}$"):
            a.compare(b)
    # A burned volatile vault counts as wiped too.
    burned = HushVault(b"same", volatile=True)
    burned.reveal()
    with pytest.raises(ValueError, match=f"^{BOTH_WIPED}$"):
        right.compare(burned)


def test_compare_never_burns_volatile_vaults():
    left = HushVault(b"k", volatile=True)
    right = HushVault(b"k", volatile=True)
    assert left.compare(right) is True
    assert right.compare(left) is True
    assert left.reveal() == "k" and right.reveal() == "k"


@pytest.mark.parametrize("wiped", [False, True])
@pytest.mark.parametrize("other", [b"x", "x", None],
                         ids=lambda o: type(o).__name__)
def test_compare_requires_a_vault(other, wiped):
    vault = HushVault(b"x")
    if wiped:
        vault.wipe_py()
    expected = (f"argument 'other': '{type(other).__name__}' object "
                "cannot be cast as 'HushVault'")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        vault.compare(other)


def test_expired_vault_compares_normally_and_is_not_wiped():
    vault = HushVault(b"ttl", ttl_sec=0)
    time.sleep(0.05)
    assert vault.verify(b"ttl") is True
    assert vault.verify(b"ttx") is False
    assert vault.compare(HushVault(b"ttl")) is True
    assert HushVault(b"ttl").compare(vault) is True
    assert vault.reveal_masked(1) == "**l"
    with pytest.raises(ValueError, match="^TTL expired$"):
        vault.reveal()


def test_equality_operators_are_refused():
    vault, other = HushVault(b"a"), HushVault(b"a")
    attempts = [
        lambda: vault == other, lambda: vault == vault,
        lambda: vault == 1, lambda: 1 == vault,
        lambda: vault == b"a", lambda: b"a" == vault,
        lambda: vault != other, lambda: vault != 1, lambda: 1 != vault,
    ]
    for attempt in attempts:
        with pytest.raises(TypeError, match=f"^{EQUALITY_REFUSED}$"):
            attempt()
    assert vault.reveal() == "a"


def test_ordering_is_unsupported():
    vault, other = HushVault(b"a"), HushVault(b"b")
    for attempt in (lambda: vault < other, lambda: vault <= other,
                    lambda: vault > 1, lambda: 1 >= vault):
        with pytest.raises(TypeError, match="not supported between"):
            attempt()


def test_membership_and_hashing():
    vault, other = HushVault(b"a"), HushVault(b"a")
    assert vault in [vault]
    with pytest.raises(TypeError, match=f"^{EQUALITY_REFUSED}$"):
        vault in [other]
    for attempt in (lambda: hash(vault), lambda: {vault: 1},
                    lambda: {vault}, lambda: set().add(vault),
                    lambda: frozenset([vault])):
        with pytest.raises(TypeError, match="unhashable"):
            attempt()


# Calls the type's rich-comparison slot directly, with an operator code that
# Python code can never produce, and prints what comes back.
SLOT_HARNESS = textwrap.dedent("""
    import ctypes
    import sys

    from hush_vault import HushVault

    get_slot = ctypes.pythonapi.PyType_GetSlot
    get_slot.restype = ctypes.c_void_p
    get_slot.argtypes = [ctypes.py_object, ctypes.c_int]
    RICHCOMPARE_SLOT = 67
    slot_type = ctypes.PYFUNCTYPE(
        ctypes.py_object, ctypes.py_object, ctypes.py_object, ctypes.c_int)
    richcompare = slot_type(get_slot(HushVault, RICHCOMPARE_SLOT))

    vault = HushVault(b"a")
    print("less-than:", richcompare(vault, vault, 0) is NotImplemented)
    sys.stdout.flush()
    try:
        richcompare(vault, vault, int(sys.argv[1]))
    except TypeError as error:
        print("raised:", error)
    else:
        print("returned")
""")


def run_slot_harness(op):
    return subprocess.run([sys.executable, "-c", SLOT_HARNESS, str(op)],
                          capture_output=True, text=True, timeout=60)


def test_rich_comparison_slot_harness_reaches_the_equality_refusal():
    result = run_slot_harness(2)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == [
        "less-than: True",
        "raised: Direct equality comparison is disabled for security. "
        "Use .verify() for constant-time comparison.",
    ]


def test_invalid_operator_code_is_an_internal_fault():
    result = run_slot_harness(6)
    assert result.returncode != 0
    if sys.platform.startswith(("linux", "darwin")):
        assert result.returncode == -6  # SIGABRT
    elif sys.platform == "win32":
        assert result.returncode == 0xC0000409  # fail-fast: STATUS_STACK_BUFFER_OVERRUN
    assert "invalid compareop" in result.stderr
    assert "returned" not in result.stdout
    assert "raised" not in result.stdout
