"""Running one function over many files, in worker processes, with results in input order
and an optional progress bar."""

from __future__ import annotations

import ctypes
import os
import signal
import sys
import threading
import time
from concurrent.futures import ProcessPoolExecutor
from collections.abc import Callable, Iterable, Iterator, Sequence
from concurrent.futures.process import BrokenProcessPool
from dataclasses import dataclass
from functools import partial
from typing import NoReturn, TextIO, TypeVar

import tqdm

from tavrik_workout.documents import Unreadable, printable
from tavrik_workout.files import (
    DEFAULT_MAX_SIZE, STDIN, Stamp, display_name, process_running, read, read_stamped)

R = TypeVar("R")

# Past either figure a run is worth a progress bar (when standard error is a terminal).
PROGRESS_FILES = 200
PROGRESS_BYTES = 64 << 20

# tqdm's monitor thread would make every later fork() a fork of a multi-threaded process.
tqdm.tqdm.monitor_interval = 0


@dataclass(frozen=True, slots=True)
class Source:
    """A file to read in the worker, or standard input already read by the calling process
    (a worker has no standard input of its own)."""

    path: str
    text: str | None = None
    unreadable: str | None = None
    max_size: int = DEFAULT_MAX_SIZE

    @property
    def is_file(self) -> bool:
        """A file to read, not standard input."""
        return self.text is None and self.unreadable is None

    def load(self) -> str:
        return self.load_stamped()[0]

    def load_stamped(self) -> tuple[str, Stamp | None]:
        """(text, files.Stamp or None for standard input)."""
        if self.unreadable is not None:
            raise Unreadable(self.unreadable)
        if self.text is not None:
            return self.text, None
        return read_stamped(self.path, self.max_size)


def sources(paths: Iterable[str], max_size: int = DEFAULT_MAX_SIZE, *,
            stdin_name: str | None = None) -> list[Source]:
    """A Source per file; standard input is read here, once, and reported as `stdin_name`."""
    result: list[Source] = []
    for path in paths:
        if path != STDIN:
            result.append(Source(path, max_size=max_size))
            continue
        name = stdin_name or display_name(path)
        try:
            result.append(Source(name, text=read(path, max_size)))
        except Unreadable as error:
            result.append(Source(name, unreadable=str(error)))
    return result


def default_jobs() -> int:
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class Console:
    """Writes report lines without tearing the progress bar, when there is one."""

    def __init__(self) -> None:
        self.bar: tqdm.tqdm[NoReturn] | None = None

    def out(self, text: str) -> None:
        self._write(text, sys.stdout)

    def err(self, text: str) -> None:
        self._write(text, sys.stderr)

    def line(self, text: str) -> None:
        """A report line on standard output, escaped so that it stays one line."""
        self.out(printable(text))

    def err_line(self, text: str) -> None:
        self.err(printable(text))

    def _write(self, text: str, file: TextIO) -> None:
        if self.bar is None:
            print(text, file=file)
        else:
            self.bar.write(text, file=file)


def _wants_progress(items: Sequence[Source]) -> bool:
    if not sys.stderr.isatty():
        return False
    if len(items) >= PROGRESS_FILES:
        return True
    size = 0
    for item in items:
        try:
            size += os.stat(item.path).st_size if item.text is None else len(item.text)
        except OSError:
            pass
    return size >= PROGRESS_BYTES


_PR_SET_PDEATHSIG = 1
_WATCH_SECONDS = 0.5


def _start_worker(main: int) -> None:
    # Ctrl-C reaches the whole process group; only the calling process acts on it, and
    # lets the workers finish what they are writing.
    signal.signal(signal.SIGINT, signal.SIG_IGN)
    # A worker that outlived the command would hold its standard output open, and a
    # pipeline reading it would wait for ever.
    parent = os.getppid()
    if not (sys.platform.startswith("linux") and _die_with_parent()):
        threading.Thread(target=_watch_parent, args=(parent,), daemon=True).start()
    # The parent may have gone before the signal was asked for.  (A forkserver parent is
    # not `main`, and ends when `main` does.)
    if os.getppid() != parent or (parent != main and not process_running(main)):
        os._exit(1)


def _die_with_parent() -> bool:
    try:
        libc = ctypes.CDLL(None, use_errno=True)
        return bool(libc.prctl(_PR_SET_PDEATHSIG, signal.SIGKILL, 0, 0, 0) == 0)
    except (OSError, AttributeError):
        return False


def _watch_parent(parent: int) -> None:
    while os.getppid() == parent:
        time.sleep(_WATCH_SECONDS)
    os._exit(1)


def _guarded(function: Callable[[Source], R], failed: Callable[[Source, str], R], item: Source) -> R:
    try:
        return function(item)
    except (KeyboardInterrupt, SystemExit, GeneratorExit):
        raise
    except BaseException as error:
        # The module's own fault derives from BaseException, so that a bare `except
        # Exception` does not hide it; here it is one file's failure like any other.
        message = "out of memory" if isinstance(error, MemoryError) else str(error) or "unexpected failure"
        return failed(item, message)


def run(function: Callable[[Source], R], items: Sequence[Source], *, jobs: int, console: Console,
        progress: bool = True, failed: Callable[[Source, str], R] | None = None) -> Iterator[R]:
    """Yields function(item) for every item, in the order of `items`; with jobs > 1 the calls
    run in that many worker processes.  With `failed`, an exception of one call gives
    failed(item, message) as its result, so that one bad input does not stop the others."""
    if failed is not None:
        function = partial(_guarded, function, failed)
    bar: tqdm.tqdm[NoReturn] | None = None
    if progress and _wants_progress(items):
        bar = tqdm.tqdm(total=len(items), unit="file", file=sys.stderr, leave=False)
        console.bar = bar
    try:
        for result in _results(function, items, jobs, failed):
            yield result
            if bar is not None:
                bar.update()
    finally:
        if bar is not None:
            console.bar = None
            bar.close()


def _results(function: Callable[[Source], R], items: Sequence[Source], jobs: int,
             failed: Callable[[Source, str], R] | None = None) -> Iterator[R]:
    jobs = min(jobs, len(items))
    if jobs <= 1:
        yield from map(function, items)
        return
    # Several files to a task keeps the per-task cost small against many small files.
    chunk = max(1, min(32, len(items) // (jobs * 4)))
    done = 0
    while done < len(items):
        try:
            for result in _pool_map(function, items[done:], jobs, chunk):
                yield result
                done += 1
        except BrokenProcessPool:
            if failed is None:
                raise
            # A worker died (a signal, the kernel's out-of-memory killer) on the next item
            # or on one shortly after it: that item alone, in a pool of its own, tells.
            try:
                result, = _pool_map(function, items[done:done + 1], 1, 1)
            except BrokenProcessPool:
                result = failed(items[done], "the process checking it ended abruptly")
            yield result
            done += 1


def _pool_map(function: Callable[[Source], R], items: Sequence[Source], jobs: int,
              chunk: int) -> Iterator[R]:
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_start_worker, initargs=(os.getpid(),))
    try:
        yield from pool.map(function, items, chunksize=chunk)
    finally:
        # On Ctrl-C or an early stop nothing new starts; what runs finishes, so no worker
        # is left halfway through a write.
        pool.shutdown(wait=True, cancel_futures=True)
