"""pydantic-settings glue: fills HushVault fields straight from the environment and from secrets
directories, so that a secret read for a settings class never becomes a str.

    from hush_vault_pydantic import Vault, VaultSettings

    class Settings(VaultSettings):
        model_config = SettingsConfigDict(env_prefix="APP_", secrets_dir="/run/secrets")
        db_password: Vault

A vault field is taken, in this order, from the arguments (a HushVault), from the environment
(the variable is removed and its copies zeroed, see hush_vault_sources.pop_env) and from a file of
the secrets directories (read into the vault, one trailing newline dropped). Nothing else fills
it: pydantic-settings' own environment and secrets sources are kept off vault fields, and a str
(from a .env file, JSON or an argument) is refused there, as that text is the copy to avoid.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from pathlib import Path
from typing import Annotated, Any, ClassVar, get_args, get_origin

from pydantic import GetCoreSchemaHandler, GetJsonSchemaHandler
from pydantic.json_schema import JsonSchemaValue
from pydantic_core import PydanticCustomError, core_schema
from pydantic_settings import (
    BaseSettings,
    EnvSettingsSource,
    PydanticBaseSettingsSource,
    SecretsSettingsSource,
    SettingsConfigDict,
)
from pydantic_settings.sources import PydanticBaseEnvSettingsSource

from hush_vault import HushVault
from hush_vault_sources import from_file, pop_env

__all__ = ["Vault", "VaultSettings", "VaultSettingsSource"]


def _vault_only(value: object) -> HushVault:
    if isinstance(value, HushVault):
        return value
    # The message never holds the value: it may be the secret itself.
    raise PydanticCustomError(
        "hush_vault",
        "a vault field takes a HushVault, filled from the environment or a secrets directory, "
        "not {type}",
        {"type": type(value).__name__},
    )


class _VaultSchema:
    """A HushVault field: only vaults validate; JSON shows the redacted text; the JSON schema is
    the one pydantic gives a password."""

    def __get_pydantic_core_schema__(
        self, source: Any, handler: GetCoreSchemaHandler
    ) -> core_schema.CoreSchema:
        return core_schema.no_info_plain_validator_function(
            _vault_only,
            serialization=core_schema.plain_serializer_function_ser_schema(
                str, when_used="json"
            ),
        )

    def __get_pydantic_json_schema__(
        self, schema: core_schema.CoreSchema, handler: GetJsonSchemaHandler
    ) -> JsonSchemaValue:
        return {"type": "string", "format": "password", "writeOnly": True}


Vault = Annotated[HushVault, _VaultSchema()]
"""The annotation of a vault field."""


def _is_vault_field(annotation: object) -> bool:
    if get_origin(annotation) is Annotated:
        return _is_vault_field(get_args(annotation)[0])
    if annotation is HushVault:
        return True
    # Vault | None: a field that may stay empty.
    members = [a for a in get_args(annotation) if a is not type(None)]
    return len(members) == 1 and len(get_args(annotation)) == 2 and _is_vault_field(members[0])


class VaultSettingsSource(PydanticBaseEnvSettingsSource):
    """The settings source of the vault fields of a settings class: each is read from its
    environment variable (popped, or with keep_env=True read by HushVault.from_env and left set)
    or else from the file of that name in the class's secrets directories.

    Used on its own in settings_customise_sources, it comes after pydantic-settings has built its
    environment source, which decodes every variable into a str of its own: that str is freed
    without being zeroed. VaultSettings reads the vault fields before that source is built, and
    only that way is scanned for copies by the tests."""

    def __init__(self, settings_cls: type[BaseSettings], *, keep_env: bool = False) -> None:
        super().__init__(settings_cls)
        self.keep_env = keep_env
        secrets_dir = self.config.get("secrets_dir")
        if secrets_dir is None:
            secrets_dir = []
        elif isinstance(secrets_dir, (str, os.PathLike)):
            secrets_dir = [secrets_dir]
        # The last directory wins, as with pydantic-settings' own secrets source.
        self.secrets_dirs = [Path(d).expanduser() for d in reversed(list(secrets_dir))]
        self.vault_fields = {
            name: self._extract_field_info(field, name)
            for name, field in settings_cls.model_fields.items()
            if _is_vault_field(field.annotation)
        }

    def get_field_value(self, field: Any, field_name: str) -> tuple[Any, str, bool]:
        for field_key, env_name, _ in self._extract_field_info(field, field_name):
            variable = self._variable(env_name)
            if variable is not None:
                if self.keep_env:
                    return HushVault.from_env(variable), field_key, False
                return pop_env(variable), field_key, False
            for directory in self.secrets_dirs:
                path = self._file(directory, env_name)
                if path is not None:
                    return from_file(path, strip_newline=True), field_key, False
        return None, field_name, False

    def _variable(self, env_name: str) -> str | None:
        """The variable's name as the environment spells it; only names are compared."""
        if self.case_sensitive:
            return env_name if env_name in os.environ else None
        return next((name for name in os.environ if name.lower() == env_name), None)

    def _file(self, directory: Path, env_name: str) -> Path | None:
        if not directory.is_dir():
            return None
        exact = directory / env_name
        if exact.is_file():
            return exact
        if not self.case_sensitive:
            for entry in directory.iterdir():
                if entry.name.lower() == env_name and entry.is_file():
                    return entry
        return None

    def read(self, given: Mapping[str, Any]) -> dict[str, Any]:
        """The vault fields found, leaving out those whose name or alias is in `given`: their
        variables stay set and their files unread."""
        found: dict[str, Any] = {}
        for name, infos in self.vault_fields.items():
            if {name, *(key for key, _, _ in infos)} & given.keys():
                continue
            value, key, _ = self.get_field_value(self.settings_cls.model_fields[name], name)
            if value is not None:
                found[key] = value
        return found

    def __call__(self) -> dict[str, Any]:
        # What the sources before this one found; older pydantic-settings do not say.
        given: Mapping[str, Any] = getattr(self, "current_state", {})
        return self.read(given)

    def blind(self, other: PydanticBaseSettingsSource) -> None:
        """Keeps another source of the same class off the vault fields: the environment source
        drops its text of their variables, the secrets source no longer reads their files."""
        if isinstance(other, EnvSettingsSource) and isinstance(other.env_vars, dict):
            for infos in self.vault_fields.values():
                for _, env_name, _ in infos:
                    other.env_vars.pop(env_name, None)
        if isinstance(other, SecretsSettingsSource):
            read = other.get_field_value
            vault_fields = self.vault_fields

            def skip_vaults(field: Any, field_name: str) -> tuple[Any, str, bool]:
                if field_name in vault_fields:
                    return None, field_name, False
                return read(field, field_name)

            # An attribute of this one source object: the class and other settings are untouched.
            setattr(other, "get_field_value", skip_vaults)


class VaultSettings(BaseSettings):
    """BaseSettings whose Vault fields come from VaultSettingsSource, read before pydantic-settings
    builds its own sources, so that the environment's copies are zeroed before anything else
    reads them. Input values are left out of validation errors, so that a refused value never
    shows there. vault_keep_env = True reads variables without removing them."""

    model_config = SettingsConfigDict(hide_input_in_errors=True)
    vault_keep_env: ClassVar[bool] = False

    def __init__(self, **values: Any) -> None:
        source = VaultSettingsSource(type(self), keep_env=self.vault_keep_env)
        super().__init__(**values, **source.read(values))

    @classmethod
    def settings_customise_sources(
        cls,
        settings_cls: type[BaseSettings],
        init_settings: PydanticBaseSettingsSource,
        env_settings: PydanticBaseSettingsSource,
        dotenv_settings: PydanticBaseSettingsSource,
        file_secret_settings: PydanticBaseSettingsSource,
    ) -> tuple[PydanticBaseSettingsSource, ...]:
        # A .env file's values are its own text, read before any source runs: they are left to
        # reach the field and be refused there.
        vaults = VaultSettingsSource(settings_cls, keep_env=cls.vault_keep_env)
        vaults.blind(env_settings)
        vaults.blind(file_secret_settings)
        return init_settings, env_settings, dotenv_settings, file_secret_settings
