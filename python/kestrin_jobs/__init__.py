"""kestrin encodes for applications: progress events, a responsive interpreter, cancellation.

The engine's ``transform`` holds the interpreter lock until ffmpeg ends, shows its progress only
as bytes on file descriptor 1, and leaves a partial file when it is stopped. Each call here runs
it in a child Python process instead, and the calling thread waits without the lock::

    import kestrin_jobs

    def show(progress: kestrin_jobs.Progress) -> None:
        print(f"{progress.time:7.1f} s at {progress.speed or 0:.2f}x", end="\\r")

    ok = kestrin_jobs.transform("film.mkv", "film.x265.mkv", "libx265", "720", "", "-crf 20",
                                on_progress=show)

    for position, result in kestrin_jobs.encode_all(tasks, workers=2):
        print(tasks[position][1], result)   # True, False, or the exception of that encode

What every encode here guarantees:

- The output appears only on success: ffmpeg writes to a hidden name beside it
  (``.NAME.part-XXXXXXXX.SUFFIX``) that is renamed into place when ffmpeg succeeded and removed
  otherwise, so a killed or cancelled encode never leaves a partial file under the output's name.
- The encode process and its ffmpeg die with the caller: with the thread that started them (a
  parent-death signal, and a guard process for ffmpeg, which ignores SIGPIPE), and at once when
  the wait is interrupted (KeyboardInterrupt, a callback that raises, a cancelled task, a closed
  :func:`encode_all` iterator). The encode processes are not in the terminal's foreground
  process group: Ctrl-C reaches the caller only, which then ends them.
- ``on_progress`` is called on the calling thread (the event loop's, for
  :func:`transform_async`) with each :class:`Progress`, at most once per ``PROGRESS_INTERVAL``
  seconds, and always with the last record. Without it the engine's texts (the command, the
  progress line, the error banner) reach descriptor 1 as the engine writes them; with it the
  progress lines are left out there.
- The results are the engine's: True, False, or what ``transform`` raises (``OSError`` when
  ffmpeg cannot be started, ``TypeError`` for an argument that is not a ``str``), and
  :class:`EncodeProcessDied` when the encode process died without a result.
"""
from __future__ import annotations

import collections
import functools
import math
import os
import re
import time
from collections.abc import Callable, Iterable, Iterator
from typing import NamedTuple

from kestrin_jobs import _runner
from kestrin_jobs._report import EncodeReport
from kestrin_jobs._runner import EncodeProcessDied
from kestrin_jobs._quality import CrfProbe, CrfResult, search_crf, search_crf_async
from kestrin_jobs._verify import Verification, verify

__all__ = ["CrfProbe", "CrfResult", "EncodeProcessDied", "EncodeReport", "PROGRESS_INTERVAL",
           "Progress", "Verification", "encode_all", "search_crf", "search_crf_async",
           "transform", "transform_async", "verify"]

#: The shortest time in seconds between two ``on_progress`` calls for one encode.
PROGRESS_INTERVAL = 0.25

Task = tuple[str, str, str, str, str, str]


class Progress(NamedTuple):
    """One statistics record of ffmpeg, as the engine shows it on its progress line."""

    #: Frames encoded so far (0 before the first).
    frame: int
    #: Frames per second (0.0 while ffmpeg writes none).
    fps: float
    #: Position in the output, in seconds, from ffmpeg's ``time=`` (0.0 while it writes N/A).
    time: float
    #: Encoding speed as a multiple of real time, from ``speed=``; None while it writes N/A.
    speed: float | None
    #: Bytes written so far, from ``size=`` (``Lsize=`` in the last record); None for N/A.
    size: int | None
    #: The record as ffmpeg wrote it, from ``frame=`` on, white space trimmed.
    line: str


def transform(input: str, output: str, codec: str, res: str, crop: str, flags: str, *,
              on_progress: Callable[[Progress], object] | None = None) -> bool:
    """``KestEngine.transform`` in a child process; the output appears only on success.

    Returns True when ffmpeg succeeded (the output is then in place) and False when it failed
    (nothing is left behind); raises what ``transform`` raises, :class:`EncodeProcessDied`, and
    whatever ``on_progress`` raises, which stops the encode.
    """
    arguments = _runner.checked_arguments((input, output, codec, res, crop, flags))
    console = _ProgressConsole(on_progress) if on_progress is not None else None
    return _runner.run(_runner.Attempt(arguments, console))


async def transform_async(input: str, output: str, codec: str, res: str, crop: str, flags: str,
                          *, on_progress: Callable[[Progress], object] | None = None) -> bool:
    """:func:`transform` as a coroutine: the event loop runs on while ffmpeg encodes.

    Cancelling the task kills the encode process and its ffmpeg and removes the temporary file.
    """
    import asyncio

    loop = asyncio.get_running_loop()
    arguments = _runner.checked_arguments((input, output, codec, res, crop, flags))
    console = _ProgressConsole(on_progress) if on_progress is not None else None
    attempt = _runner.Attempt(arguments, console)
    try:
        while not attempt.done:
            woken: asyncio.Future[int | None] = loop.create_future()

            def wake(fd: int | None, woken: asyncio.Future[int | None] = woken) -> None:
                if not woken.done():
                    woken.set_result(fd)

            fds = attempt.fds()
            for fd in fds:
                loop.add_reader(fd, wake, fd)
            due = console.due() if console is not None else None
            timer = None if due is None else \
                loop.call_later(max(0.0, due - time.monotonic()), wake, None)
            try:
                ready = await woken
            finally:
                for fd in fds:
                    loop.remove_reader(fd)
                if timer is not None:
                    timer.cancel()
            if ready is not None:
                attempt.read(ready)
            if console is not None:
                console.tick()
        if console is not None:
            console.close()
        # The pipes end as the child exits; its exit status follows within moments.
        while attempt.child.poll() is None:
            await asyncio.sleep(0.005)
        return attempt.finish()
    finally:
        attempt.kill()


def encode_all(tasks: Iterable[Task], *, workers: int | None = None,
               on_progress: Callable[[int, Progress], object] | None = None,
               ) -> Iterator[tuple[int, bool | BaseException]]:
    """Runs the tasks (``transform``'s six arguments each), at most ``workers`` at once, and
    yields ``(position, result)`` as each ends.

    ``workers`` defaults to the processors the process may use (its CPU affinity set, limited by
    a cgroup v2 CPU quota), as the engine's batch pool does. The result is a task's bool or the
    exception that ended it; ``on_progress(position, progress)`` sees each task's records. A task
    that is not a tuple of six ``str`` raises before anything starts, as in ``batch``. Closing
    the iterator, or an exception while it waits (KeyboardInterrupt, or one raised by
    ``on_progress``, which propagates), kills every running encode and starts no further one; no
    partial output is left under any final name. Iterate it on one thread, which must outlive
    the encodes it starts.
    """
    checked = [_runner.checked_task(task) for task in tasks]
    limit = _processor_count() if workers is None else workers
    if limit < 1:
        raise ValueError(f"workers must be at least 1, not {limit}")
    return _encode_all(checked, limit, on_progress)


def _encode_all(tasks: list[list[str]], limit: int,
                on_progress: Callable[[int, Progress], object] | None,
                ) -> Iterator[tuple[int, bool | BaseException]]:
    waiting = collections.deque(enumerate(tasks))
    running: dict[_runner.Attempt, int] = {}
    try:
        while waiting or running:
            while waiting and len(running) < limit:
                position, arguments = waiting.popleft()
                console = None if on_progress is None else \
                    _ProgressConsole(functools.partial(on_progress, position))
                try:
                    running[_runner.Attempt(arguments, console)] = position
                except OSError as error:  # no interpreter to start, or no descriptors left
                    yield position, error
            for attempt in _runner.wait_any(list(running)):
                position = running.pop(attempt)
                result: bool | BaseException
                try:
                    if attempt.console is not None:
                        attempt.console.close()
                    try:
                        result = attempt.finish()
                    except Exception as error:
                        result = error
                finally:
                    attempt.kill()
                yield position, result
    finally:
        for attempt in running:
            attempt.kill()


def _processor_count() -> int:
    """The processors this process may use: its affinity set, limited by a cgroup v2 CPU quota
    on the group or any of its parents, rounded up."""
    count = len(os.sched_getaffinity(0))
    try:
        with open("/proc/self/cgroup") as groups:
            group = next(line[3:].strip() for line in groups if line.startswith("0::"))
    except (OSError, StopIteration):
        return count
    folder = "/sys/fs/cgroup" + group.rstrip("/")
    while folder.startswith("/sys/fs/cgroup"):
        try:
            with open(os.path.join(folder, "cpu.max")) as limit:
                quota, period = limit.read().split()[:2]
            if quota != "max":
                count = min(count, max(1, math.ceil(int(quota) / int(period))))
        except (OSError, ValueError):
            pass
        folder = os.path.dirname(folder)
    return count


_PROGRESS_PREFIX = "\r\x1b[2K  > [\u2726 KESTRIN] ENCODE | ".encode()
_LINE_END = re.compile(rb"[\r\n]")
_FIELD = re.compile(r"(\w+)=\s*(\S+)")
_CLOCK = re.compile(r"(-?)(\d+):(\d+):(\d+(?:\.\d*)?)")
_SIZE = re.compile(r"(\d+(?:\.\d*)?)(B|kB|KiB|MiB|MB|GiB|GB)")
_UNIT_BYTES = {"B": 1, "kB": 1024, "KiB": 1024, "MiB": 1 << 20, "MB": 1 << 20, "GiB": 1 << 30,
               "GB": 1 << 30}


def parse_progress(line: str) -> Progress:
    """The fields of one record as the engine shows it (``frame= 12 fps=0.0 ...``). ffmpeg writes
    ``size=`` in units of 1024 bytes whether it calls them kB (5.1) or KiB (6.1 and later)."""
    fields: dict[str, str] = {}
    for key, value in _FIELD.findall(line):
        fields.setdefault("size" if key == "Lsize" else key, value)
    frame = fields.get("frame", "")
    clock = _CLOCK.fullmatch(fields.get("time", ""))
    seconds = 0.0
    if clock:
        sign, hours, minutes, rest = clock.groups()
        seconds = (int(hours) * 3600 + int(minutes) * 60 + float(rest)) * (-1 if sign else 1)
    speed = fields.get("speed", "")
    size = _SIZE.fullmatch(fields.get("size", ""))
    return Progress(
        frame=int(frame) if frame.isdigit() else 0,
        fps=_number(fields.get("fps", "")) or 0.0,
        time=seconds,
        speed=_number(speed[:-1]) if speed.endswith("x") else None,
        size=round(float(size[1]) * _UNIT_BYTES[size[2]]) if size else None,
        line=line)


def _number(text: str) -> float | None:
    try:
        return float(text)
    except ValueError:
        return None


class _ProgressConsole:
    """Takes the engine's progress lines out of the child's console text and passes the rest on
    to descriptor 1 unchanged.

    Each engine text starts with its own carriage return or line feed and the progress line
    never ends in one, so a progress line is whole only once the next text begins. The engine
    writes each line with one write of less than a pipe's atomic size, and the pipe is read
    empty each time, so a line at the end of a read is taken as whole at once, not a record
    later; should more of it follow all the same, the whole line counts again.
    """

    def __init__(self, on_progress: Callable[[Progress], object]) -> None:
        self._on_progress = on_progress
        self._pending = b""
        self._taken = b""  # the unfinished progress line at the end of _pending, once taken
        self._held: Progress | None = None
        self._last_call = -math.inf

    def feed(self, chunk: bytes) -> None:
        self._pending += chunk
        while (at := self._pending.find(_PROGRESS_PREFIX)) >= 0:
            _write_out(self._pending[:at])
            self._pending = self._pending[at:]
            end = _LINE_END.search(self._pending, len(_PROGRESS_PREFIX))
            if end is None:
                self._take(self._pending)
                return
            self._take(self._pending[:end.start()])
            self._pending = self._pending[end.start():]
            self._taken = b""
        # A tail that may still become a progress prefix waits for the next bytes; the prefix
        # holds one carriage return, its first byte.
        keep = self._pending.rfind(b"\r")
        if keep < 0 or not _PROGRESS_PREFIX.startswith(self._pending[keep:]):
            keep = len(self._pending)
        _write_out(self._pending[:keep])
        self._pending = self._pending[keep:]

    def due(self) -> float | None:
        return None if self._held is None else self._last_call + PROGRESS_INTERVAL

    def tick(self) -> None:
        if self._held is not None and time.monotonic() >= self._last_call + PROGRESS_INTERVAL:
            self._call(self._held)

    def close(self) -> None:
        """At the end of the console text: what is left, and the last record if it was held."""
        pending, self._pending = self._pending, b""
        if pending.startswith(_PROGRESS_PREFIX):
            self._take(pending)
        else:
            _write_out(pending)
        if self._held is not None:
            self._call(self._held)

    def _take(self, line: bytes) -> None:
        if line == self._taken or len(line) == len(_PROGRESS_PREFIX):
            return
        self._taken = line
        progress = parse_progress(line[len(_PROGRESS_PREFIX):].decode("utf-8", "replace"))
        if time.monotonic() - self._last_call >= PROGRESS_INTERVAL:
            self._call(progress)
        else:
            self._held = progress

    def _call(self, progress: Progress) -> None:
        self._held = None
        self._last_call = time.monotonic()
        self._on_progress(progress)


def _write_out(data: bytes) -> None:
    view = memoryview(data)
    try:
        while view:
            view = view[os.write(1, view):]
    except OSError:
        pass  # the engine's own console writes go unchecked too: no reader is no error

