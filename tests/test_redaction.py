"""Redaction and copy refusal: a vault never prints, copies or pickles.

Every generic channel an object can leak through is tried with a
distinctive secret, and the secret must never show up in what it produces.
"""

import copy
import json
import logging
import marshal
import pickle
import pprint
import re
import time
import traceback
from multiprocessing import get_context
from multiprocessing.reduction import ForkingPickler

import pytest

from hush_vault import HushVault

REDACTED = "<HushVault: [REDACTED]>"
SECRET_TEXT = "correct-horse-battery-staple-\u00e9"
SECRET = SECRET_TEXT.encode()
FRAGMENT = "horse-battery"
REFUSED = re.escape(
    "HushVault objects cannot be serialized (pickled) for security reasons.")


def assert_no_leak(output):
    if isinstance(output, bytes):
        assert SECRET not in output
        assert FRAGMENT.encode() not in output
    else:
        assert SECRET_TEXT not in output
        assert FRAGMENT not in output


def make_vault(state):
    if state == "fresh":
        return HushVault(SECRET)
    if state == "volatile":
        return HushVault(SECRET, volatile=True)
    if state == "expired":
        vault = HushVault(SECRET, ttl_sec=0)
        time.sleep(0.05)
        return vault
    if state == "wiped":
        vault = HushVault(SECRET)
        vault.wipe_py()
        return vault
    if state == "burned":
        vault = HushVault(SECRET, volatile=True)
        vault.reveal_bytes()
        return vault
    raise AssertionError(state)


STATES = ["fresh", "volatile", "expired", "wiped", "burned"]


@pytest.mark.parametrize("state", STATES)
def test_repr_and_str_are_redacted_in_every_state(state):
    vault = make_vault(state)
    renderings = [
        repr(vault), str(vault), f"{vault}", f"{vault!r}", f"{vault!s}",
        format(vault), format(vault, ""), "{}".format(vault),
        "%s %r" % (vault, vault), repr([vault]), str({"k": vault}),
    ]
    for text in renderings:
        assert_no_leak(text)
    assert renderings[:8] == [REDACTED] * 8
    assert renderings[8] == f"{REDACTED} {REDACTED}"
    assert renderings[9] == f"[{REDACTED}]"


def test_redaction_leaves_the_vault_untouched():
    volatile = HushVault(SECRET, volatile=True)
    for render in (repr, str, format):
        assert render(volatile) == REDACTED
    assert volatile.reveal_bytes() == SECRET

    expired = make_vault("expired")
    assert repr(expired) == str(expired) == REDACTED
    assert expired.reveal_masked(2 ** 64 - 1) == SECRET_TEXT
    with pytest.raises(ValueError, match="^TTL expired$"):
        expired.reveal()


@pytest.mark.parametrize("state", ["fresh", "wiped", "expired"])
def test_copying_and_pickling_are_refused(state):
    vault = make_vault(state)
    attempts = [
        lambda: copy.copy(vault),
        lambda: copy.deepcopy(vault),
        lambda: copy.deepcopy([vault]),
        lambda: pickle.dumps(vault),
        lambda: vault.__copy__(),
        lambda: vault.__getstate__(),
        lambda: vault.__deepcopy__(None),
        lambda: vault.__deepcopy__(_memo={}),
    ]
    attempts += [lambda p=p: pickle.dumps(vault, protocol=p)
                 for p in range(2, pickle.HIGHEST_PROTOCOL + 1)]
    for attempt in attempts:
        with pytest.raises(TypeError, match=f"^{REFUSED}$"):
            attempt()
    for protocol in (0, 1):
        with pytest.raises(TypeError) as info:
            pickle.dumps(vault, protocol=protocol)
        assert_no_leak(str(info.value))
    if state == "fresh":
        assert vault.reveal_bytes() == SECRET


def test_deepcopy_hook_requires_its_memo():
    vault = HushVault(SECRET)
    expected = ("HushVault.__deepcopy__() missing 1 required positional "
                "argument: '_memo'")
    with pytest.raises(TypeError, match=f"^{re.escape(expected)}$"):
        vault.__deepcopy__()


def test_print_does_not_leak(capsys):
    vault = HushVault(SECRET)
    print(vault)
    print("token:", vault, [vault], {"token": vault})
    captured = capsys.readouterr()
    assert captured.out.count(REDACTED) == 4
    assert_no_leak(captured.out)
    assert_no_leak(captured.err)


def test_logging_does_not_leak(caplog):
    vault = HushVault(SECRET)
    logger = logging.getLogger("hush_vault_redaction_test")
    with caplog.at_level(logging.INFO, logger=logger.name):
        logger.info("token %s", vault)
        logger.warning("token %r", vault)
        logger.error("tokens %s", {"api": vault})
    assert len(caplog.records) == 3
    for record in caplog.records:
        assert REDACTED in record.getMessage()
    assert_no_leak(caplog.text)


def test_pprint_and_json_do_not_leak():
    vault = HushVault(SECRET)
    nested = {"user": "alice", "tokens": [vault, (vault,)]}
    for text in (pprint.pformat(vault), pprint.pformat(nested),
                 pprint.pformat(nested, width=10),
                 json.dumps({"token": vault}, default=str),
                 json.dumps(nested, default=repr)):
        assert REDACTED in text
        assert_no_leak(text)


def handler_that_fails(vault):
    raise RuntimeError("request failed")


def test_traceback_with_locals_does_not_leak():
    vault = HushVault(SECRET)
    try:
        handler_that_fails(vault)
    except RuntimeError as error:
        report = traceback.TracebackException.from_exception(
            error, capture_locals=True)
    text = "".join(report.format())
    assert f"vault = {REDACTED}" in text
    assert_no_leak(text)


def test_raw_access_protocols_are_refused():
    vault = HushVault(SECRET)
    for attempt, error in ((lambda: memoryview(vault), TypeError),
                           (lambda: vars(vault), TypeError),
                           (lambda: marshal.dumps(vault), ValueError),
                           (lambda: vault.__dict__, AttributeError)):
        with pytest.raises(error) as info:
            attempt()
        assert_no_leak(str(info.value))
    assert vault.reveal_bytes() == SECRET


def test_multiprocessing_refuses_to_send_a_vault():
    vault = HushVault(SECRET)
    with pytest.raises(TypeError, match=f"^{REFUSED}$"):
        ForkingPickler.dumps(vault)
    queue = get_context("spawn").SimpleQueue()
    try:
        with pytest.raises(TypeError, match=f"^{REFUSED}$"):
            queue.put(vault)
        # The message is the module's; newer interpreters add a note naming the dict item.
        with pytest.raises(TypeError) as refused:
            queue.put({"token": vault})
        assert re.fullmatch(REFUSED, str(refused.value))
        assert queue.empty()
    finally:
        queue.close()
    assert vault.reveal_bytes() == SECRET
