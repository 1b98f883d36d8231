"""Running one function over many files, in worker processes, with results in input order
and an optional progress bar."""

import os
import signal
import sys
from concurrent.futures import ProcessPoolExecutor
from dataclasses import dataclass

import tqdm

from tavrik_workout.documents import Unreadable
from tavrik_workout.files import STDIN, display_name, read

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

    def load(self):
        if self.unreadable is not None:
            raise Unreadable(self.unreadable)
        if self.text is not None:
            return self.text
        return read(self.path)


def sources(paths):
    """A Source per file; standard input is read here, once."""
    result = []
    for path in paths:
        if path != STDIN:
            result.append(Source(path))
            continue
        try:
            result.append(Source(display_name(path), text=read(path)))
        except Unreadable as error:
            result.append(Source(display_name(path), unreadable=str(error)))
    return result


def default_jobs():
    try:
        return len(os.sched_getaffinity(0))
    except AttributeError:  # not on Linux
        return os.cpu_count() or 1


class Console:
    """Writes report lines without tearing the progress bar, when there is one."""

    def __init__(self):
        self.bar = None

    def out(self, text):
        self._write(text, sys.stdout)

    def err(self, text):
        self._write(text, sys.stderr)

    def _write(self, text, file):
        if self.bar is None:
            print(text, file=file)
        else:
            self.bar.write(text, file=file)


def _wants_progress(items):
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


def _ignore_interrupts():
    # Ctrl-C reaches the whole process group; only the calling process acts on it, and
    # lets the workers finish what they are writing.
    signal.signal(signal.SIGINT, signal.SIG_IGN)


def run(function, items, *, jobs, console, progress=True):
    """Yields function(item) for every item, in the order of `items`; with jobs > 1 the calls
    run in that many worker processes."""
    bar = None
    if progress and _wants_progress(items):
        bar = tqdm.tqdm(total=len(items), unit="file", file=sys.stderr, leave=False)
        console.bar = bar
    try:
        for result in _results(function, items, jobs):
            yield result
            if bar is not None:
                bar.update()
    finally:
        if bar is not None:
            console.bar = None
            bar.close()


def _results(function, items, jobs):
    jobs = min(jobs, len(items))
    if jobs <= 1:
        yield from map(function, items)
        return
    # Several files to a task keeps the per-task cost small against many small files.
    chunk = max(1, min(32, len(items) // (jobs * 4)))
    pool = ProcessPoolExecutor(max_workers=jobs, initializer=_ignore_interrupts)
    try:
        yield from pool.map(function, items, chunksize=chunk)
    finally:
        # On Ctrl-C or an early stop nothing new starts; what runs finishes, so no worker
        # is left halfway through a write.
        pool.shutdown(wait=True, cancel_futures=True)
