"""Settings classes fill vault fields from the environment and secrets directories, and no copy of
a secret stays behind: not in the environment, not in pydantic's errors or dumps."""

import json
import os
import secrets
import subprocess
import sys

import pytest

from secret_scan import MASK, NEEDLE

# Pure Python over pydantic, whose native core is not ours: the module's paths it drives run under
# the sanitizers and valgrind in the companion module's own tests. AddressSanitizer's quarantine
# keeps freed blocks whole, so the scan would find them there.
if any(tool in os.environ.get("LD_PRELOAD", "") for tool in ("libasan", "vgpreload")):
    pytest.skip("pure Python glue: not run under sanitizers or valgrind", allow_module_level=True)
pytest.importorskip("pydantic_settings")

from hush_vault import HushVault  # noqa: E402
from hush_vault_pydantic import Vault, VaultSettings  # noqa: E402
from pydantic import Field, ValidationError  # noqa: E402
from pydantic_settings import SettingsConfigDict  # noqa: E402

# Each secret is made here and reaches the child only as its environment and as a file; the child
# gets the needles XOR-masked, so that its own memory holds the plain text only where it read it.
SCRIPT = """
import json, sys
sys.path.insert(0, {tests!r})
from secret_scan import Scanner, Secret
from pydantic import Field
from pydantic_settings import SettingsConfigDict
from hush_vault_pydantic import Vault, VaultSettings

class Settings(VaultSettings):
    model_config = SettingsConfigDict(env_prefix="APP_", secrets_dir=sys.argv[1])
    api_token: Vault = Field(default=...)
    db_password: Vault = Field(default=...)

needles = [Secret(None, bytes.fromhex(h), bytes.fromhex(t)) for h, t in json.loads(sys.argv[2])]
scanner = Scanner()
counts = {{"before": [scanner.count(s) for s in needles]}}
settings = Settings()
counts["live"] = [scanner.count(s) for s in needles]
counts["dump"] = settings.model_dump_json()
settings.api_token.wipe_py()
settings.db_password.wipe_py()
counts["after"] = [scanner.count(s) for s in needles]
print(json.dumps(counts))
"""


def masked_needles(data):
    tail = data[-NEEDLE:]
    return [bytes(b ^ MASK for b in part).hex() for part in (data[:NEEDLE], tail)]


@pytest.mark.skipif(not sys.platform.startswith("linux"), reason="scans memory through /proc")
@pytest.mark.parametrize("size", [32, 700, 5000])
def test_no_copy_left_after_the_vaults_are_wiped(tmp_path, size):
    token, password = (secrets.token_urlsafe(size)[:size] for _ in range(2))
    (tmp_path / "app_db_password").write_text(password + "\n")
    env = {k: v for k, v in os.environ.items() if k != "PYTHONMALLOC"}
    env["APP_API_TOKEN"] = token
    needles = json.dumps([masked_needles(token.encode()), masked_needles(password.encode())])
    code = SCRIPT.format(tests=os.path.dirname(__file__))
    result = subprocess.run([sys.executable, "-c", code, str(tmp_path), needles], env=env,
                            capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    counts = json.loads(result.stdout)
    # The token is in the environment's copies before the source runs; the file is not read yet.
    assert counts["before"][0][0] >= 2 and counts["before"][1] == [0, 0]
    assert counts["live"] == [[1, 1], [1, 1]]
    assert counts["after"] == [[0, 0], [0, 0]]
    assert json.loads(counts["dump"]) == dict.fromkeys(["api_token", "db_password"], str(HushVault(b"")))


class Settings(VaultSettings):
    model_config = SettingsConfigDict(env_prefix="PYDANTIC_TEST_")
    api_token: Vault = Field(default=...)
    db_password: Vault = Field(default=...)
    retries: int = 3


@pytest.mark.parametrize(
    "given, env",
    [
        ({}, ["API_TOKEN"]),  # db_password missing
        ({"db_password": secrets.token_hex(8)}, ["API_TOKEN"]),  # text refused
        ({}, ["API_TOKEN", "DB_PASSWORD", "RETRIES"]),  # a field that is no vault fails
    ],
)
def test_validation_errors_show_no_secret(monkeypatch, given, env):
    values = {name: secrets.token_hex(8) for name in env}
    for name, value in values.items():
        monkeypatch.setenv("PYDANTIC_TEST_" + name, value)
    with pytest.raises(ValidationError) as raised:
        Settings(**given)
    text = str(raised.value) + repr(raised.value)
    for value in [*given.values(), *values.values()]:
        assert not any(value[i : i + 6] in text for i in range(len(value) - 5)), text


def test_schema_and_dumps_are_redacted(monkeypatch):
    monkeypatch.setenv("PYDANTIC_TEST_API_TOKEN", "t0k3n")
    monkeypatch.setenv("pydantic_test_db_password", "pa55")  # names match without case
    settings = Settings()
    assert "PYDANTIC_TEST_API_TOKEN" not in os.environ
    assert settings.api_token.verify(b"t0k3n") and settings.db_password.verify(b"pa55")
    redacted = str(settings.api_token)
    assert json.loads(settings.model_dump_json())["api_token"] == redacted
    assert settings.model_dump()["db_password"] is settings.db_password
    schema = Settings.model_json_schema()["properties"]["db_password"]
    assert (schema["type"], schema["format"], schema["writeOnly"]) == ("string", "password", True)
