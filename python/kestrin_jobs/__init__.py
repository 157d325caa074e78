"""kestrin encodes for applications: progress events, a responsive interpreter, cancellation.

The engine's ``transform`` holds the interpreter lock until ffmpeg ends, shows its progress only
as bytes on file descriptor 1, and leaves a partial file when it is stopped. The calls here run
the engine's own encode without the lock, on the calling thread or on threads of their own::

    import kestrin_jobs

    def show(progress: kestrin_jobs.Progress) -> None:
        print(f"{progress.time:7.1f} s at {progress.speed or 0:.2f}x", end="\\r")

    ok = kestrin_jobs.transform("film.mkv", "film.x265.mkv", "libx265", "720", "", "-crf 20",
                                on_progress=show)

    for position, result in kestrin_jobs.encode_all(tasks, workers=2):
        print(tasks[position][1], result)   # True, False, or the exception of that encode

What every encode here guarantees:

- The paths are resolved when the call is made: a later change of directory does not move them.
- The output appears only on success: ffmpeg writes to a hidden name beside it
  (``.NAME.part-XXXXXXXX.SUFFIX``, cut to the folder's name limit) that is renamed into place
  when ffmpeg succeeded and removed otherwise, so a cancelled encode never leaves a partial file
  under the output's name. True means the output is there.
- An output that is the input (the same path, a link to it, another name of the same file) is
  refused with a ``ValueError`` naming both, before anything runs; so is an image-sequence
  output (``%03d``), which no rename can put in place whole.
- ffmpeg is stopped and reaped at once when the wait is interrupted (KeyboardInterrupt, a
  callback that raises, a cancelled task, a closed :func:`encode_all` iterator). ffmpeg reads
  the null device, never the terminal.
- ``on_progress`` is called on the calling thread (the event loop's, for
  :func:`transform_async`) with each :class:`Progress`, at most once per ``PROGRESS_INTERVAL``
  seconds, and always with the last record. Without it the engine's texts (the command, the
  progress line, the error banner) reach descriptor 1 as the engine writes them; with it the
  progress lines are left out there.
- The results are the engine's: True, False, or what ``transform`` raises (``OSError``
  subclasses with ``errno`` set, as ``subprocess`` raises them, when ffmpeg cannot be started;
  ``TypeError`` for an argument that is not a ``str``).
"""
from __future__ import annotations

import collections
import errno
import math
import queue
import threading
import time
from collections.abc import Callable, Iterable, Iterator
from typing import Literal, NamedTuple, overload

from kestrin_jobs import _runner
from kestrin_jobs._report import EncodeReport
from kestrin_jobs._runner import EncodeProcessDied
from kestrin_jobs._quality import CrfProbe, CrfResult, search_crf, search_crf_async
from kestrin_jobs._verify import Verification, verify

__all__ = ["CrfProbe", "CrfResult", "EncodeProcessDied", "EncodeReport", "PROGRESS_INTERVAL",
           "Progress", "Verification", "encode", "encode_all", "encode_async", "search_crf",
           "search_crf_async", "transform", "transform_async", "verify"]

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


def encode(input: str, output: str, codec: str, res: str, crop: str, flags: str, *,
           verify: bool = True, on_progress: Callable[[Progress], object] | None = None,
           ) -> EncodeReport:
    """The engine's encode without the interpreter lock; the output appears only on success,
    and, with ``verify`` (the default), only once it has been checked against its source.

    The report says why an encode failed (ffmpeg's own messages) and what a successful one met
    (decode errors, frames duplicated or dropped, the verification's findings). Raises what
    ``transform`` raises, ``ValueError`` for an output that is the input, and whatever
    ``on_progress`` raises, which stops the encode.
    """
    attempt = _attempt((input, output, codec, res, crop, flags), verify)
    if on_progress is None:
        return _report(attempt.run())
    throttle = _Throttle(on_progress)
    outcome = attempt.run(throttle.record)
    throttle.close()
    return _report(outcome)


def transform(input: str, output: str, codec: str, res: str, crop: str, flags: str, *,
              verify: bool = True, on_progress: Callable[[Progress], object] | None = None,
              ) -> bool:
    """:func:`encode`, giving only its report's ``ok``: True when ffmpeg succeeded, the output
    verified (unless ``verify=False``) and it is in place; False when not (nothing is left
    behind)."""
    return encode(input, output, codec, res, crop, flags, verify=verify,
                  on_progress=on_progress).ok


async def transform_async(input: str, output: str, codec: str, res: str, crop: str, flags: str,
                          *, verify: bool = True,
                          on_progress: Callable[[Progress], object] | None = None) -> bool:
    """:func:`transform` as a coroutine (:func:`encode_async`'s ``ok``)."""
    report = await encode_async(input, output, codec, res, crop, flags, verify=verify,
                                on_progress=on_progress)
    return report.ok


async def encode_async(input: str, output: str, codec: str, res: str, crop: str, flags: str,
                       *, verify: bool = True,
                       on_progress: Callable[[Progress], object] | None = None) -> EncodeReport:
    """:func:`encode` as a coroutine: the encode runs on a thread of its own.

    Cancelling the task stops ffmpeg and removes the temporary file; the task ends once both
    are done, and the event loop runs on meanwhile.
    """
    import asyncio

    loop = asyncio.get_running_loop()
    attempt = _attempt((input, output, codec, res, crop, flags), verify)
    finished: asyncio.Future[EncodeReport] = loop.create_future()
    raised: list[BaseException] = []

    def settle(result: EncodeReport | BaseException) -> None:
        if finished.done():
            return
        if isinstance(result, BaseException):
            finished.set_exception(result)
        else:
            finished.set_result(result)

    def call(progress: Progress) -> None:
        if raised or on_progress is None:
            return
        try:
            on_progress(progress)
        except BaseException as error:  # stops the encode, and is what the call raises
            raised.append(error)
            attempt.cancel()

    throttle = None if on_progress is None else \
        _Throttle(lambda progress: loop.call_soon_threadsafe(call, progress))

    def run() -> None:
        result: EncodeReport | BaseException
        try:
            result = _report(attempt.run(None if throttle is None else throttle.record))
            if throttle is not None:
                throttle.close()
        except BaseException as error:
            result = error
        try:
            loop.call_soon_threadsafe(settle, result)
        except RuntimeError:  # the loop is closed: nobody waits any more
            pass

    try:
        threading.Thread(target=run, name="kestrin_jobs encode").start()
    except BaseException:
        # A second Ctrl-C inside start(), once the thread exists: its encode must not run on
        # to its end and rename its output while the interpreter exits.
        attempt.cancel()
        raise
    try:
        result = await asyncio.shield(finished)
    except asyncio.CancelledError:
        attempt.cancel()
        while not finished.done():
            try:
                await asyncio.shield(finished)
            except asyncio.CancelledError:
                pass
            except BaseException:  # noqa: BLE001 - the task is cancelled whatever the encode said
                break
        raise
    if raised:
        raise raised[0]
    return result


@overload
def encode_all(tasks: Iterable[Task], *, workers: int | None = None,
               on_progress: Callable[[int, Progress], object] | None = None,
               verify: bool = True, reports: Literal[False] = False,
               ) -> Iterator[tuple[int, bool | BaseException]]: ...
@overload
def encode_all(tasks: Iterable[Task], *, workers: int | None = None,
               on_progress: Callable[[int, Progress], object] | None = None,
               verify: bool = True, reports: Literal[True],
               ) -> Iterator[tuple[int, EncodeReport | BaseException]]: ...
def encode_all(tasks: Iterable[Task], *, workers: int | None = None,
               on_progress: Callable[[int, Progress], object] | None = None,
               verify: bool = True, reports: bool = False,
               ) -> Iterator[tuple[int, bool | EncodeReport | BaseException]]:
    """Runs the tasks (``transform``'s six arguments each), at most ``workers`` at once, and
    yields ``(position, result)`` as each ends: the task's bool, or with ``reports=True`` its
    :class:`EncodeReport`. Each output is verified as in :func:`encode` unless ``verify=False``.

    ``workers`` defaults to the engine's own count of the processors the process may use (its
    CPU affinity set, limited by a cgroup CPU quota). The result is a task's bool or the
    exception that ended it (a task that can't start for want of descriptors, processes or
    threads waits for a running one to end and tries again; with none running, or with no
    ffmpeg, it fails alone, with its ``OSError``);
    ``on_progress(position, progress)`` sees each task's records on the iterating thread. A task
    that is not a tuple of six ``str``, or whose output is its input, raises before anything
    starts, as in ``batch``. The encodes go on while the loop body runs. Closing the iterator,
    or an exception while it waits (KeyboardInterrupt, or one raised by ``on_progress``, which
    propagates), stops every running encode and starts no further one; no partial output is left
    under any final name.
    """
    attempts = [_attempt(_runner.checked_task(task), verify)
                for task in tasks]
    limit = _runner.processor_count() if workers is None else workers
    if limit < 1:
        raise ValueError(f"workers must be at least 1, not {limit}")
    return _encode_all(attempts, limit, on_progress, reports)


class _Ended(NamedTuple):
    result: bool | EncodeReport | BaseException


def _encode_all(attempts: list[_runner.Attempt], limit: int,
                on_progress: Callable[[int, Progress], object] | None, reports: bool,
                ) -> Iterator[tuple[int, bool | EncodeReport | BaseException]]:
    # Workers only put into the queue: the loop body and on_progress never hold up an encode.
    events: queue.SimpleQueue[tuple[int, Progress | _Ended]] = queue.SimpleQueue()
    waiting = collections.deque(enumerate(attempts))
    running: dict[int, tuple[_runner.Attempt, threading.Thread]] = {}

    def work(position: int, attempt: _runner.Attempt) -> None:
        result: bool | EncodeReport | BaseException = False
        try:
            if on_progress is None:
                outcome = attempt.run()
            else:
                throttle = _Throttle(lambda progress: events.put((position, progress)))
                outcome = attempt.run(throttle.record)
                throttle.close()
            result = _report(outcome) if reports else outcome.ok
        except BaseException as error:
            result = error
        finally:
            events.put((position, _Ended(result)))

    # Tasks that could not start for want of descriptors or processes while others ran: they
    # try again once one of those has ended and let its own go, and the tasks behind them wait
    # for that too. A task that can't start with nothing else running fails alone.
    deferred: list[tuple[int, _runner.Attempt]] = []
    alone: set[int] = set()  # tasks that have tried to start with nothing else running
    try:
        while waiting or running:
            while waiting and len(running) < limit and not deferred:
                position, attempt = waiting.popleft()
                thread = threading.Thread(target=work, args=(position, attempt),
                                          name="kestrin_jobs encode")
                # Counted as running before it starts: a Ctrl-C inside start(), once the thread
                # exists, must still cancel its encode.
                running[position] = (attempt, thread)
                try:
                    thread.start()
                except RuntimeError as error:  # no thread to be had
                    del running[position]
                    if running:
                        deferred.append((position, attempt))
                        break
                    yield position, error
                    continue
            position, event = events.get()
            if isinstance(event, _Ended):
                attempt, thread = running.pop(position)
                thread.join()
                again = _short_of_resources(event.result) and (running or position not in alone)
                if again:
                    deferred.append((position, attempt))
                    if running:
                        continue
                    # Nothing else runs now, but what ended while it started may have let go
                    # of what it lacked: it tries once more, and fails only if it can't start
                    # alone either.
                    alone.add(position)
                waiting.extendleft(reversed(deferred))
                deferred.clear()
                if not again:
                    yield position, event.result
            elif on_progress is not None:
                on_progress(position, event)
    finally:
        for attempt, _ in running.values():
            attempt.cancel()
        _join_all([thread for _, thread in running.values()])


def _short_of_resources(result: object) -> bool:
    """Whether an encode could not start for want of descriptors, processes or memory."""
    return isinstance(result, OSError) and result.errno in (
        errno.EMFILE, errno.ENFILE, errno.EAGAIN, errno.ENOMEM)


def _join_all(threads: list[threading.Thread]) -> None:
    """Waits for stopped encodes to reap ffmpeg and remove their files; a second Ctrl-C does
    not cut that short."""
    interrupted: BaseException | None = None
    for thread in threads:
        while thread.is_alive():
            try:
                thread.join()
            except BaseException as error:  # noqa: BLE001 - raised once all are done
                interrupted = interrupted or error
    if interrupted is not None:
        raise interrupted


def _attempt(arguments: Iterable[object], verify: bool) -> _runner.Attempt:
    return _runner.Attempt(_runner.checked_arguments(list(arguments)), verify=verify)


def _report(outcome: _runner.Outcome) -> EncodeReport:
    last = outcome.last_record
    return EncodeReport(ok=outcome.ok, messages=outcome.messages,
                        more_messages=outcome.more_messages, problems=outcome.problems,
                        dup=None if last is None else last.dup,
                        drop=None if last is None else last.drop, verified=outcome.verified)


class _Throttle:
    """Passes on at most one record per ``PROGRESS_INTERVAL``, and always the last: the one held
    goes with the next record that is due, or at the end."""

    def __init__(self, deliver: Callable[[Progress], object]) -> None:
        self._deliver = deliver
        self._held: Progress | None = None
        self._last_call = -math.inf

    def record(self, record: _runner.Record) -> None:
        progress = Progress(record.frame, record.fps, record.time, record.speed, record.size,
                            record.line)
        now = time.monotonic()
        if now - self._last_call >= PROGRESS_INTERVAL:
            self._held = None
            self._last_call = now
            self._deliver(progress)
        else:
            self._held = progress

    def close(self) -> None:
        if self._held is not None:
            held, self._held = self._held, None
            self._deliver(held)
