"""Runs kestrin encodes on a Dask cluster the safe way: without the interpreter lock.

Every kestrin call holds the interpreter lock until ffmpeg ends. Made directly in a Dask worker
thread, a long encode stops the worker's event loop: it sends no heartbeat, and after the
scheduler's ``worker-ttl`` the worker is restarted and the encode runs again elsewhere, again and
again, until the task ends as ``KilledWorker``. :func:`transform` runs the engine's own encode
without the lock instead (the one of :mod:`kestrin_jobs`), so the worker stays responsive::

    from distributed import Client
    import kestrin_dask

    client = Client("tcp://scheduler:8786")
    for position, result in kestrin_dask.encode_all(client, tasks, retries=2):
        print(tasks[position][1], result)

How to run the cluster for it:

- One worker thread per encode that a machine should run at once: ``dask worker --nthreads 2
  --nworkers 1 ADDRESS`` runs two encodes side by side. Each x265 encode is itself multi-threaded
  and memory-hungry, so two or three per machine are usually plenty.
- Keep the nanny (the default) and the default ``distributed.scheduler.worker-ttl``: the nanny
  restarts a lost worker, and the encodes of a worker that really hangs are then run elsewhere.
- Gather the futures and drop each one as it finishes (:func:`encode_all` does): a finished
  future that is still held is recomputed, that is encoded again, when its worker restarts.
- Submit with ``retries`` (``client.submit(kestrin_dask.transform, *task, retries=2,
  pure=False)``): a worker that dies has its task re-run by the scheduler.

What each attempt guarantees:

- It writes to a hidden temporary name beside the output (same folder, same suffix) and renames it
  into place only when ffmpeg succeeded, so a re-run never leaves a partial file under the
  output's name, and a finished output is only ever replaced whole. A failed attempt removes its
  temporary file; one whose worker was killed leaves it (``.NAME.part-XXXXXXXX.SUFFIX``).
- ffmpeg is stopped and reaped whenever the call is left early.
- The console text of the encode (the command, the progress line, the error banner and ffmpeg's
  own messages) goes to the logger ``distributed.worker.kestrin`` as whole lines, each prefixed
  with the output's file name: the worker's default logging shows them with its own lines and
  keeps them for ``Client.get_worker_logs()``. Progress lines are logged at most once every
  ``PROGRESS_LOG_INTERVAL`` seconds, and the last one always.

``distributed`` is needed only for :func:`encode_all`; :func:`transform` needs only kestrin and
works as well from any thread or process pool. Outside Dask, :mod:`kestrin_jobs` (whose runner
this module shares) adds progress events, asyncio and cancellation.
"""
from __future__ import annotations

import logging
import os
import time
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

from kestrin_jobs import _runner
from kestrin_jobs._runner import EncodeProcessDied

if TYPE_CHECKING:
    from distributed import Client, Future

__all__ = ["EncodeProcessDied", "PROGRESS_LOG_INTERVAL", "encode_all", "transform"]

_LOGGER = logging.getLogger("distributed.worker.kestrin")

#: Seconds between two logged progress lines of one encode.
PROGRESS_LOG_INTERVAL = 30.0

_PROGRESS_PREFIX = "  > [\u2726 KESTRIN] ENCODE | "
_BANNER = "  > [\u2726 KESTRIN] FFmpeg exited with an error."
_MESSAGE_PREFIX = "  > [\u2726 KESTRIN] FFMPEG | "
_PROBLEM_PREFIX = "  > [\u2726 KESTRIN] VERIFY | "


def transform(input: str, output: str, codec: str, res: str, crop: str, flags: str, *,
              verify: bool = True) -> bool:
    """The engine's encode without the interpreter lock; the output appears only on success.

    Returns True when ffmpeg succeeded, the output verified against its source (unless
    ``verify=False``: see ``kestrin_jobs.encode``) and it is in place, and False otherwise
    (nothing is left behind; the worker's log says why). Raises what ``transform`` raises
    (``OSError`` subclasses when ffmpeg cannot be started, ``TypeError`` for an argument that is
    not a ``str``), and ``ValueError`` for an output that is the input.
    """
    arguments = _runner.checked_arguments((input, output, codec, res, crop, flags))
    log = _EncodeLog(os.path.basename(output))
    outcome = _runner.Attempt(arguments, quiet=True, verify=verify).run(log.record)
    log.close(outcome)
    return outcome.ok


class _EncodeLog:
    """An encode's console as whole log lines: progress records thinned to one per
    ``PROGRESS_LOG_INTERVAL`` plus the last, then the command and the outcome."""

    def __init__(self, label: str, logger: logging.Logger = _LOGGER) -> None:
        self._label = label
        self._logger = logger
        self._held: str | None = None
        self._last_logged = float("-inf")

    def record(self, record: _runner.Record) -> None:
        now = time.monotonic()
        if now - self._last_logged >= PROGRESS_LOG_INTERVAL:
            self._last_logged = now
            self._held = None
            self._emit(_PROGRESS_PREFIX + record.line)
        else:
            self._held = record.line

    def close(self, outcome: _runner.Outcome) -> None:
        if self._held is not None:
            self._emit(_PROGRESS_PREFIX + self._held)
        self._emit("  > [DEBUG] CMD: " + " ".join(["ffmpeg", *outcome.arguments[1:]]))
        if not outcome.ok:
            self._emit(_BANNER)
        for message in outcome.messages:
            self._emit(_MESSAGE_PREFIX + message)
        if outcome.more_messages:
            self._emit(f"{_MESSAGE_PREFIX}({outcome.more_messages} more)")
        for problem in outcome.problems:
            self._emit(_PROBLEM_PREFIX + problem)

    def _emit(self, text: str) -> None:
        self._logger.info("%s: %s", self._label, text)


def encode_all(client: Client, tasks: Sequence[tuple[str, str, str, str, str, str]], *,
               retries: int = 2, verify: bool = True) -> Iterator[tuple[int, bool | BaseException]]:
    """Submits one :func:`transform` per task and yields ``(position, result)`` as each ends.

    The result is the task's bool, or the exception that ended its last attempt. Each future is
    released as soon as it has been read, so a worker restart never encodes a finished task again.
    """
    from distributed import as_completed

    futures: dict[Future, int] = {}
    for position, task in enumerate(tasks):
        # pure=False: an encode is a side effect, two equal tasks are still two encodes.
        future = client.submit(  # type: ignore[no-untyped-call]
            transform, *task, verify=verify, retries=retries, pure=False)
        futures[future] = position
    finished = as_completed(futures)  # type: ignore[no-untyped-call]
    for future in finished:
        position = futures.pop(future)
        error = future.exception()
        result: bool | BaseException = future.result() if error is None else error
        future.release()
        del future
        yield position, result
