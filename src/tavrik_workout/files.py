"""Finding, reading and safely rewriting workout files."""

from __future__ import annotations

import os
import re
import secrets
import stat
import sys
import time
from collections.abc import Iterable, Iterator
from contextlib import suppress
from dataclasses import dataclass
from typing import BinaryIO

import pathspec

from tavrik_workout.documents import Unreadable, decode

STDIN = "-"
STDIN_NAME = "<stdin>"

# Well past any real workout, well short of what exhausts memory: /dev/zero named by
# mistake ends with an error instead of taking the machine and the other files' results.
DEFAULT_MAX_SIZE = 1 << 30
_CHUNK = 1 << 20


def expand(paths: Iterable[str], suffix: str = ".json", *,
           exclude: Iterable[str] = ()) -> tuple[list[str], list[str]]:
    """The files that PATHs name, in order, each once however it is reached (a symbolic
    link, `./x` and `x` name the same file).  A folder stands for every regular file below it
    whose name ends in `suffix` in any case (sorted; hidden folders, git-ignored paths and
    those matching an `exclude` pattern skipped; symbolic links to folders followed, each
    folder once); `-` stands for standard input.  A file named outright is taken whatever
    its name.  Returns (files, folders in which nothing was found)."""
    files: list[str] = []
    empty: list[str] = []
    seen: set[_Key] = set()
    excluded = pathspec.GitIgnoreSpec.from_lines(exclude) if exclude else None
    for path in paths:
        if path != STDIN and os.path.isdir(path):
            keys = dict(_walk(path, suffix.lower(), excluded))
            walked = sorted(keys, key=lambda found_path: found_path.split(os.sep))
            for found_path in walked:
                if keys[found_path] not in seen:
                    seen.add(keys[found_path])
                    files.append(found_path)
            if not walked:
                empty.append(path)
        elif path == STDIN:
            files.append(path)
        elif _key(path) not in seen:
            seen.add(_key(path))
            files.append(path)
    return files, empty


# What tells one file from another: its device and inode, or for a path that cannot be
# examined its normal absolute form.
_Key = tuple[int, int] | str
_Specs = list[tuple[str, pathspec.GitIgnoreSpec]]


def _key(path: str, status: os.stat_result | None = None) -> _Key:
    try:
        status = status or os.stat(path)
        return status.st_dev, status.st_ino
    except OSError:
        return os.path.normpath(os.path.abspath(path))  # reported as unreadable, once


def _walk(folder: str, suffix: str, excluded: pathspec.GitIgnoreSpec | None) -> Iterator[tuple[str, _Key]]:
    """(path, identity) of each file to take below `folder`."""
    ignores = _GitIgnores.around(folder)
    visited: set[tuple[int, int]] = set()
    for top, folders, names in os.walk(folder, followlinks=True):
        try:
            status = os.stat(top)
        except OSError:
            folders[:] = []
            continue
        if (status.st_dev, status.st_ino) in visited:
            folders[:] = []  # reached again through a link: a loop, or a second way in
            continue
        visited.add((status.st_dev, status.st_ino))
        # Relative and absolute forms once per folder: a walk of many files stays cheap.
        relative_top = os.path.relpath(top, folder).replace(os.sep, "/")
        relative_top = "" if relative_top == "." else relative_top + "/"
        absolute_top = os.path.abspath(top)
        specs = ignores.specs(absolute_top) if ignores is not None else []

        def skipped(name: str, is_folder: bool) -> bool:
            if excluded is not None and excluded.match_file(relative_top + name + "/" * is_folder):
                return True
            return bool(specs) and _ignored(specs, os.path.join(absolute_top, name), is_folder)

        folders[:] = [name for name in folders if not name.startswith(".") and not skipped(name, True)]
        for name in names:
            if not name.lower().endswith(suffix) or skipped(name, False):
                continue
            path = os.path.join(top, name)
            try:
                status = os.stat(path)
            except OSError:
                yield path, _key(path)  # the read says what is wrong with it
                continue
            # A FIFO or device among the files would block the walk or never end.
            if stat.S_ISREG(status.st_mode):
                yield path, _key(path, status)


class _GitIgnores:
    """What git ignores in the work tree around a folder: every .gitignore from the top of
    the work tree down, and .git/info/exclude; a deeper file overrides a shallower one."""

    def __init__(self, top: str) -> None:
        self.top = top
        self.floor: str | None = None  # a named folder that git ignores: nothing above it applies
        self.cache: dict[str, _Specs] = {}

    @classmethod
    def around(cls, folder: str) -> _GitIgnores | None:
        """The ignores that apply below `folder`, or None outside a work tree.  A folder named
        although git ignores it is taken as asked: only the .gitignore files inside it
        apply then."""
        folder = os.path.abspath(folder)
        here = folder
        while not os.path.exists(os.path.join(here, ".git")):
            parent = os.path.dirname(here)
            if parent == here:
                return None
            here = parent
        ignores = cls(here)
        if folder != here and _ignored(ignores.specs(os.path.dirname(folder)), folder, True):
            ignores.top = ignores.floor = folder
        return ignores

    def specs(self, folder: str) -> _Specs:
        """(base folder, ignore patterns) that apply to the entries of `folder` (absolute),
        shallowest first."""
        if folder in self.cache:
            return self.cache[folder]
        if folder == self.floor:
            specs: _Specs = []
        elif folder == self.top:
            specs = _spec_of(folder, os.path.join(self.top, ".git", "info", "exclude"))
        elif os.path.dirname(folder) != folder and folder.startswith(self.top + os.sep):
            specs = self.specs(os.path.dirname(folder))
        else:
            specs = []
        specs = specs + _spec_of(folder, os.path.join(folder, ".gitignore"))
        self.cache[folder] = specs
        return specs


def _ignored(specs: _Specs, absolute: str, is_folder: bool) -> bool:
    for base, patterns in reversed(specs):
        relative = absolute[len(base) + 1:].replace(os.sep, "/")
        verdict = patterns.check_file(relative + "/" if is_folder else relative).include
        if verdict is not None:
            return verdict
    return False


def _spec_of(base: str, path: str) -> _Specs:
    try:
        with open(path, encoding="utf-8", errors="replace") as file:
            return [(base, pathspec.GitIgnoreSpec.from_lines(file.read().splitlines()))]
    except OSError:
        return []


def display_name(path: str) -> str:
    return STDIN_NAME if path == STDIN else path


@dataclass(frozen=True, slots=True)
class Stamp:
    """What identifies a file's content as read: a rewrite goes ahead only if it still holds."""

    device: int
    inode: int
    size: int
    mtime_ns: int
    ctime_ns: int

    @classmethod
    def of(cls, status: os.stat_result) -> Stamp:
        return cls(status.st_dev, status.st_ino, status.st_size, status.st_mtime_ns, status.st_ctime_ns)


def read(path: str, max_size: int = DEFAULT_MAX_SIZE) -> str:
    """The text of a file or of standard input (`-`); Unreadable says why not."""
    return read_stamped(path, max_size)[0]


def read_stamped(path: str, max_size: int = DEFAULT_MAX_SIZE) -> tuple[str, Stamp | None]:
    """(text, Stamp of the file when it was opened); the Stamp is None for standard input."""
    try:
        if path == STDIN:
            if sys.stdin is None:
                raise Unreadable("standard input is closed")
            return decode(_read_limited(sys.stdin.buffer, max_size)), None
        descriptor = os.open(path, os.O_RDONLY | getattr(os, "O_CLOEXEC", 0))
        with os.fdopen(descriptor, "rb", buffering=0) as file:
            status = os.fstat(descriptor)
            if stat.S_ISDIR(status.st_mode):
                raise Unreadable("is a folder")
            if stat.S_ISREG(status.st_mode) and status.st_size > max_size:
                raise Unreadable(_too_large(max_size))
            # A regular file in one piece (no second copy for the join); anything else,
            # or a file still growing, in pieces.
            first = status.st_size + 1 if stat.S_ISREG(status.st_mode) else _CHUNK
            return decode(_read_limited(file, max_size, first)), Stamp.of(status)
    except OSError as error:
        raise Unreadable(error.strerror or str(error)) from None
    except MemoryError:
        raise Unreadable("out of memory while reading") from None


def _read_limited(file: BinaryIO, max_size: int, first: int = _CHUNK) -> bytes:
    # In pieces, so that an endless special file costs at most max_size of memory.
    pieces: list[bytes] = []
    total, wanted = 0, first
    while True:
        piece = file.read(min(wanted, max_size + 1 - total))
        wanted = _CHUNK
        if not piece:
            return b"".join(pieces)
        pieces.append(piece)
        total += len(piece)
        if total > max_size:
            raise Unreadable(_too_large(max_size))


def _too_large(max_size: int) -> str:
    return f"larger than the limit of {max_size:,} bytes (--max-size)"


class NotWritten(Exception):
    """A rewrite refused so as not to lose or damage something; the message says why."""


# Short and fixed-length whatever the file's name, so that any name that fits the folder
# can be rewritten; the pid tells a leftover of a killed run from a rewrite in progress.
_TEMPORARY = re.compile(r"^\.tavrik-workout\.(\d+)\.[0-9a-f]{8}\.tmp$")
_LEFTOVER_AGE = 24 * 3600


def _temporary_name(folder: str) -> str:
    return os.path.join(folder, f".tavrik-workout.{os.getpid()}.{secrets.token_hex(4)}.tmp")


def remove_leftovers(folder: str) -> int:
    """Removes temporaries that a killed earlier run left in `folder`; returns their count."""
    removed = 0
    try:
        entries = list(os.scandir(folder))
    except OSError:
        return 0
    for entry in entries:
        match = _TEMPORARY.match(entry.name)
        if match is None or not entry.is_file(follow_symlinks=False):
            continue
        with suppress(OSError):
            stale = time.time() - entry.stat(follow_symlinks=False).st_mtime > _LEFTOVER_AGE
            if stale or not process_running(int(match.group(1))):
                os.unlink(entry.path)
                removed += 1
    return removed


def process_running(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    except OSError:
        return True  # someone else's process
    return True


def rewrite(path: str, text: str | bytes, stamp: Stamp | None = None) -> None:
    """Replaces the file's content with `text` (a str, written as UTF-8, or bytes) through a temporary file in the same
    folder and a rename, so that a reader sees the old or the new content, never a mixture,
    and a crash leaves the old one.  The file keeps its owner, group, mode and extended
    attributes; a symbolic link keeps pointing at it.  With `stamp` (from read_stamped) the
    file must be as it was read.  A file the user could not write, or one that has other
    hard links (which a rename would split from it), is refused with NotWritten; a missing
    file is created."""
    target = os.path.realpath(path)
    folder = os.path.dirname(target)
    try:
        before: os.stat_result | None = os.stat(target)
    except FileNotFoundError:
        before = None
    if before is not None:
        _check_rewritable(path, target, before)
    data = text.encode("utf-8") if isinstance(text, str) else bytes(text)
    descriptor, temporary = _open_temporary(folder)
    closed = False
    try:
        _write_all(descriptor, data)
        if before is None:
            _chmod(descriptor, temporary, 0o666 & ~_umask())
        else:
            _keep_attributes(path, target, before, descriptor, temporary)
        os.fsync(descriptor)
        if temporary is None:
            temporary = _link_unnamed(descriptor, folder)
        # Closed before the rename, which Windows refuses on an open file.
        os.close(descriptor)
        closed = True
        _check_unchanged(path, target, stamp)
        # The folder is not synced: a crash may bring back the old content, never a mixture,
        # and a sync of the folder would double the cost of each rewrite.
        os.replace(temporary, target)
        temporary = None
    finally:
        if not closed:
            os.close(descriptor)
        if temporary is not None:
            with suppress(OSError):
                os.unlink(temporary)


def _chmod(descriptor: int, temporary: str | None, mode: int) -> None:
    if hasattr(os, "fchmod") and os.name != "nt":
        os.fchmod(descriptor, mode)
    else:
        assert temporary is not None
        os.chmod(temporary, mode)  # always named where there is no fchmod


def _check_rewritable(path: str, target: str, before: os.stat_result) -> None:
    if not stat.S_ISREG(before.st_mode):
        raise NotWritten(f"not a regular file: {path}")
    # By the mode bits as well, so that running as root does not overrule a 0444.
    if not before.st_mode & 0o222 or not os.access(target, os.W_OK):
        raise NotWritten(f"read-only: {path}")
    if before.st_nlink > 1:
        raise NotWritten(f"{path}: left alone: it has {before.st_nlink} hard links, "
                         "which a rewrite would split")


def _check_unchanged(path: str, target: str, stamp: Stamp | None) -> None:
    if stamp is None:
        return
    try:
        now: Stamp | None = Stamp.of(os.stat(target))
    except OSError:
        now = None
    if now != stamp:
        raise NotWritten(f"{path}: left alone: it changed while being formatted")


def _open_temporary(folder: str) -> tuple[int, str | None]:
    """A descriptor to write to, and the temporary's name (None for an unnamed file that
    vanishes with the process, which Linux offers)."""
    if hasattr(os, "O_TMPFILE") and os.path.isdir("/proc/self/fd"):
        try:
            return os.open(folder, os.O_TMPFILE | os.O_WRONLY | os.O_CLOEXEC, 0o600), None
        except OSError:
            pass  # a file system without unnamed files
    name = _temporary_name(folder)
    flags = os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_CLOEXEC", 0)
    return os.open(name, flags, 0o600), name


def _link_unnamed(descriptor: int, folder: str) -> str:
    """Gives the unnamed file a name in `folder` and returns it."""
    name = _temporary_name(folder)
    # With a folder descriptor os.link calls linkat() with AT_SYMLINK_FOLLOW; without one,
    # link(), which would try to link the /proc entry itself.
    folder_descriptor = os.open(folder, os.O_RDONLY | os.O_CLOEXEC)
    try:
        os.link(f"/proc/self/fd/{descriptor}", os.path.basename(name),
                dst_dir_fd=folder_descriptor, follow_symlinks=True)
    finally:
        os.close(folder_descriptor)
    return name


def _write_all(descriptor: int, data: bytes) -> None:
    view = memoryview(data)
    while view:
        view = view[os.write(descriptor, view):]


def _keep_attributes(path: str, target: str, before: os.stat_result, descriptor: int,
                     temporary: str | None) -> None:
    for name, value in _extended_attributes(target):
        with suppress(OSError):
            if os.getxattr(descriptor, name) == value:
                continue  # given by the folder already, as an SELinux label is
        try:
            os.setxattr(descriptor, name, value)
        except OSError as error:
            raise NotWritten(f"{path}: left alone: cannot keep its extended attribute "
                             f"{name} ({error.strerror})") from None
    if hasattr(os, "fchown") and os.name != "nt":
        now = os.fstat(descriptor)
        if (now.st_uid, now.st_gid) != (before.st_uid, before.st_gid):
            try:
                os.fchown(descriptor, before.st_uid, before.st_gid)
            except PermissionError:
                raise NotWritten(f"{path}: left alone: a rewrite would change its owner or "
                                 "group") from None
    # Last: a change of owner clears the set-user-id and set-group-id bits.
    _chmod(descriptor, temporary, stat.S_IMODE(before.st_mode))


def _extended_attributes(target: str) -> list[tuple[str, bytes]]:
    if not hasattr(os, "listxattr"):
        return []
    try:
        return [(name, os.getxattr(target, name)) for name in os.listxattr(target)]
    except OSError:
        return []  # a file system without them


def _umask() -> int:
    mask = os.umask(0o022)
    os.umask(mask)
    return mask
