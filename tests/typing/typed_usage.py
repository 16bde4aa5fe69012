"""Every method as a type checker sees it; checked by mypy --strict and pyright, and run."""

import os
import pickle
from typing import assert_type

import hush_vault_sources
from hush_vault import HushVault


def main() -> None:
    vault = HushVault(b"s3cr3t", volatile=False, ttl_sec=300)
    assert_type(vault, HushVault)
    assert_type(HushVault(data=b"s3cr3t", ttl_sec=None), HushVault)
    assert_type(vault.reveal(), str)
    assert_type(vault.reveal_bytes(), bytes)
    assert_type(bytes(vault), bytes)
    assert_type(vault.reveal_masked(suffix_len=2), str)
    assert_type(vault.verify(other=b"s3cr3t"), bool)
    assert_type(vault.compare(other=HushVault(b"s3cr3t")), bool)
    assert_type(vault.wipe_py(), None)

    os.environ["TYPED_USAGE_TOKEN"] = "t0k3n"
    from_env = HushVault.from_env(var_name="TYPED_USAGE_TOKEN", volatile=True)
    assert_type(from_env, HushVault)
    with from_env as token:
        assert_type(token, HushVault)
        assert token.reveal() == "t0k3n"
    try:
        pickle.dumps(vault)
    except TypeError:
        pass

    os.environ["TYPED_USAGE_POPPED"] = "p0pped"
    popped = hush_vault_sources.pop_env("TYPED_USAGE_POPPED", ttl_sec=60)
    assert_type(popped, HushVault)
    buffer = bytearray(b"b")
    assert hush_vault_sources.from_buffer(buffer, volatile=True).reveal_bytes() == b"b"
    assert_type(hush_vault_sources.from_file(__file__, max_size=1 << 20), HushVault)


if __name__ == "__main__":
    main()
