"""The lint's settings: [tool.tavrik-workout] in pyproject.toml, then the command line."""

from __future__ import annotations

import tomllib
from dataclasses import dataclass
from pathlib import Path
from typing import Any

from tavrik_workout.lint.rules import RULES, expand

SECTION = "tool.tavrik-workout"


class ConfigError(ValueError):
    """A settings file that cannot be used; the message says which and why."""


@dataclass(frozen=True, slots=True)
class Settings:
    select: frozenset[str]
    source: str | None = None  # the file the settings came from


def find_pyproject(start: Path) -> Path | None:
    """The nearest pyproject.toml at or above `start` that has the section."""
    for folder in (start, *start.parents):
        candidate = folder / "pyproject.toml"
        if candidate.is_file():
            try:
                if _section(candidate) is not None:
                    return candidate
            except ConfigError:
                return candidate  # a broken one is reported, not passed over
    return None


def _section(path: Path) -> dict[str, Any] | None:
    try:
        with path.open("rb") as handle:
            document = tomllib.load(handle)
    except OSError as error:
        raise ConfigError(f"{path}: cannot read: {error.strerror or error}") from None
    except tomllib.TOMLDecodeError as error:
        raise ConfigError(f"{path}: not valid TOML: {error}") from None
    section = document.get("tool", {}).get("tavrik-workout")
    if section is not None and not isinstance(section, dict):
        raise ConfigError(f"{path}: [{SECTION}] must be a table")
    return section


def _selectors(path: Path, section: dict[str, Any], key: str) -> list[str] | None:
    value = section.get(key)
    if value is None:
        return None
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        raise ConfigError(f"{path}: [{SECTION}] {key} must be a list of rule codes")
    return value


def settings(config: str | None, select: list[str] | None, ignore: list[str] | None,
             cwd: Path | None = None) -> Settings:
    """The rules in force: the file's select and ignore, each replaced by the command
    line's when given.  `config` names the file; otherwise the nearest pyproject.toml with
    the section is used, if any."""
    path = Path(config) if config is not None else find_pyproject((cwd or Path.cwd()).resolve())
    file_select = file_ignore = None
    if path is not None:
        if config is not None and not path.is_file():
            raise ConfigError(f"{path}: no such settings file")
        section = _section(path) or {}
        unknown = sorted(set(section) - {"select", "ignore"})
        if unknown:
            raise ConfigError(f"{path}: [{SECTION}] has unknown setting '{unknown[0]}' (expected select, ignore)")
        file_select = _selectors(path, section, "select")
        file_ignore = _selectors(path, section, "ignore")
    chosen_select = select if select is not None else file_select
    chosen_ignore = ignore if ignore is not None else file_ignore
    try:
        codes = expand(chosen_select) if chosen_select is not None else set(RULES)
        codes -= expand(chosen_ignore or [])
    except ValueError as error:
        where = f"{path}: " if path is not None and (select is None or ignore is None) else ""
        raise ConfigError(f"{where}{error}") from None
    return Settings(frozenset(codes), str(path) if path is not None else None)


def split_codes(text: str) -> list[str]:
    """A --select or --ignore value: codes separated by commas."""
    return [part.strip() for part in text.split(",") if part.strip()]
