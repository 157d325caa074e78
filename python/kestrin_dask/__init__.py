"""Runs kestrin encodes on a Dask cluster the safe way: each one in a child Python process.

Every kestrin call holds the interpreter lock until ffmpeg ends. Made directly in a Dask worker
thread, a long encode stops the worker's event loop: it sends no heartbeat, and after the
scheduler's ``worker-ttl`` the worker is restarted and the encode runs again elsewhere, again and
again, until the task ends as ``KilledWorker``. :func:`transform` runs the call in a child Python
process instead and waits for it without the lock, so the worker stays responsive::

    from distributed import Client, Future
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
  pure=False)``): an encode process that dies is an :class:`EncodeProcessDied` error, which Dask
  retries; a worker that dies has its task re-run by the scheduler.

What each attempt guarantees:

- It writes to a hidden temporary name beside the output (same folder, same suffix) and renames it
  into place only when ffmpeg succeeded, so a re-run never leaves a partial file under the
  output's name, and a finished output is only ever replaced whole. A failed attempt removes its
  temporary file; one whose worker was killed leaves it (``.NAME.part-XXXXXXXX.SUFFIX``).
- The encode process asks Linux to kill it when the worker thread that started it ends, and a
  guard process kills its ffmpeg as soon as it has ended, so a killed worker leaves no encode
  running.
- The console text of the encode (the command, the progress line, the error banner) goes to the
  logger ``distributed.worker.kestrin`` as whole lines, each prefixed with the output's file name:
  the worker's default logging shows them with its own lines and keeps them for
  ``Client.get_worker_logs()``. Progress lines are logged at most once every
  ``PROGRESS_LOG_INTERVAL`` seconds, and the last one always.

``distributed`` is needed only for :func:`encode_all`; :func:`transform` needs only kestrin and
works as well from any thread or process pool.
"""
from __future__ import annotations

import json
import logging
import os
import re
import secrets
import subprocess
import sys
import time
from collections.abc import Iterator, Sequence
from typing import TYPE_CHECKING

if TYPE_CHECKING:
    from distributed import Client, Future

__all__ = ["EncodeProcessDied", "PROGRESS_LOG_INTERVAL", "encode_all", "transform"]

_LOGGER = logging.getLogger("distributed.worker.kestrin")

#: Seconds between two logged progress lines of one encode.
PROGRESS_LOG_INTERVAL = 30.0

_PARAMETERS = ("input", "output", "codec", "res", "crop", "flags")
_PROGRESS_PREFIX = "  > [\u2726 KESTRIN] ENCODE | "
_CONTROL_SEQUENCE = re.compile(r"\x1b\[[0-9;?]*[A-Za-z]")
_RECORD_END = re.compile(rb"[\r\n]")

# Runs in the child. The death signal is requested first thing, then the parent is checked: had
# the worker died before the request, the child would already belong to another process and
# would never get the signal. ffmpeg needs a guard of its own: it ignores SIGPIPE and encodes on
# to the end when its error pipe breaks, and a death signal cannot be passed on to it through
# kestrin's spawn. So the child leads a process group, which ffmpeg joins, and forks a guard that
# waits on a pipe: a byte means the child finished and will reap the guard; the end of the pipe
# without one means the child died, and the guard kills the group. Neither that pipe nor the
# result pipe may reach ffmpeg (it would keep them open after the child's death): both are
# close-on-exec.
_CHILD_CODE = """\
import ctypes, json, os, signal, sys
parent, result_fd = int(sys.argv[1]), int(sys.argv[2])
os.set_inheritable(result_fd, False)
if ctypes.CDLL(None, use_errno=True).prctl(1, int(signal.SIGKILL), 0, 0, 0) != 0:
    sys.exit("kestrin_dask: prctl(PR_SET_PDEATHSIG) failed")
if os.getppid() != parent:
    sys.exit("kestrin_dask: the worker ended before the encode started")
os.setpgid(0, 0)
watch, finished = os.pipe()
guard = os.fork()
if guard == 0:
    os.close(finished)
    os.close(result_fd)
    null = os.open(os.devnull, os.O_RDWR)
    for fd in (0, 1, 2):
        os.dup2(null, fd)
    if not os.read(watch, 1):
        os.killpg(0, signal.SIGKILL)
    os._exit(0)
os.close(watch)
sys.path[:] = json.loads(sys.argv[3])
import kestrin
try:
    result = {"ok": kestrin.KestEngine().transform(*json.loads(sys.argv[4]))}
except BaseException as error:
    result = {"error": type(error).__name__, "message": str(error)[:4000]}
os.write(finished, b"x")
os.waitpid(guard, 0)
os.write(result_fd, json.dumps(result).encode())
"""

# The exceptions of kestrin that come back as themselves; any other becomes a RuntimeError.
_RAISED_AS_THEMSELVES: dict[str, type[Exception]] = {
    "OSError": OSError, "ValueError": ValueError, "TypeError": TypeError,
    "RuntimeError": RuntimeError, "UnicodeEncodeError": ValueError,
}


class EncodeProcessDied(RuntimeError):
    """The encode's child process ended without a result (killed, or out of memory)."""


def transform(input: str, output: str, codec: str, res: str, crop: str, flags: str) -> bool:
    """``KestEngine.transform`` in a child Python process; the output appears only on success.

    Returns True when ffmpeg succeeded (the output is then in place) and False when it failed
    (nothing is left behind). Raises what ``transform`` raises (``OSError`` when ffmpeg cannot
    be started, ``TypeError`` for an argument that is not a ``str``), and
    :class:`EncodeProcessDied` when the child process died, which Dask's ``retries`` retry.
    """
    arguments = [input, output, codec, res, crop, flags]
    for name, value in zip(_PARAMETERS, arguments):
        if not isinstance(value, str):
            shown = "'None'" if value is None else f"'{type(value).__name__}' object"
            raise TypeError(f"argument '{name}': {shown} is not an instance of 'str'")
    attempt = _attempt_path(output)
    arguments[1] = attempt
    label = os.path.basename(output)
    try:
        result = _run_child(arguments, label)
        # ffmpeg may succeed without writing the file (flags that send the encode elsewhere).
        if result and os.path.lexists(attempt):
            os.replace(attempt, output)
        return result
    finally:
        if os.path.lexists(attempt):
            os.unlink(attempt)


def _attempt_path(output: str) -> str:
    """The temporary name of one attempt: hidden, beside the output, with the output's suffix
    (ffmpeg chooses the container by it)."""
    folder, name = os.path.split(output)
    stem, suffix = os.path.splitext(name)
    return os.path.join(folder, f".{stem}.part-{secrets.token_hex(4)}{suffix}")


def _run_child(arguments: list[str], label: str) -> bool:
    # The child is started from, and waited for on, this same thread: Linux sends the death
    # signal when the *thread* that forked the child ends, so it must not be a helper thread
    # that could end first.
    read_result, write_result = os.pipe()
    try:
        child = subprocess.Popen(
            [sys.executable, "-S", "-c", _CHILD_CODE, str(os.getpid()), str(write_result),
             json.dumps(sys.path), json.dumps(arguments)],
            stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
            pass_fds=(write_result,))
    except BaseException:
        os.close(read_result)
        raise
    finally:
        os.close(write_result)
    with os.fdopen(read_result, "rb") as result_pipe:
        try:
            assert child.stdout is not None
            relay = _ConsoleRelay(label)
            while chunk := os.read(child.stdout.fileno(), 65536):
                relay.feed(chunk)
            relay.close()
            status = child.wait()
        finally:
            if child.poll() is None:
                child.kill()
                child.wait()
            if child.stdout is not None:
                child.stdout.close()
        reply = result_pipe.read()
    if not reply:
        how = f"by signal {-status}" if status < 0 else f"with exit status {status}"
        raise EncodeProcessDied(f"the encode process for {label} ended {how} without a result")
    outcome = json.loads(reply)
    if "error" in outcome:
        raised = _RAISED_AS_THEMSELVES.get(outcome["error"])
        if raised is None:
            raise RuntimeError(f"{outcome['error']}: {outcome['message']}")
        raise raised(outcome["message"])
    return bool(outcome["ok"])


class _ConsoleRelay:
    """Cuts an encode's console bytes into whole lines for the log.

    The progress line is redrawn with a carriage return and an erase-line sequence and never ends
    in a line feed: passed on as it comes, the next log line would be glued onto it. Records are
    therefore cut at carriage returns as well as line feeds, control sequences are removed, and
    progress records are thinned to one per ``PROGRESS_LOG_INTERVAL`` plus the last one.
    """

    def __init__(self, label: str, logger: logging.Logger = _LOGGER) -> None:
        self._label = label
        self._logger = logger
        self._pending = b""
        self._held_progress: str | None = None
        self._last_progress_logged = float("-inf")

    def feed(self, chunk: bytes) -> None:
        records = _RECORD_END.split(self._pending + chunk)
        self._pending = records.pop()
        for record in records:
            self._line(record)

    def close(self) -> None:
        self._line(self._pending)
        self._pending = b""
        self._flush_progress()

    def _line(self, record: bytes) -> None:
        text = _CONTROL_SEQUENCE.sub("", record.decode("utf-8", "replace")).rstrip()
        if not text.strip():
            return
        if text.startswith(_PROGRESS_PREFIX):
            now = time.monotonic()
            if now - self._last_progress_logged >= PROGRESS_LOG_INTERVAL:
                self._last_progress_logged = now
                self._held_progress = None
                self._emit(text)
            else:
                self._held_progress = text
            return
        self._flush_progress()
        self._emit(text)

    def _flush_progress(self) -> None:
        if self._held_progress is not None:
            self._emit(self._held_progress)
            self._held_progress = None

    def _emit(self, text: str) -> None:
        self._logger.info("%s: %s", self._label, text)


def encode_all(client: Client, tasks: Sequence[tuple[str, str, str, str, str, str]], *,
               retries: int = 2) -> Iterator[tuple[int, bool | BaseException]]:
    """Submits one :func:`transform` per task and yields ``(position, result)`` as each ends.

    The result is the task's bool, or the exception that ended its last attempt. Each future is
    released as soon as it has been read, so a worker restart never encodes a finished task again.
    """
    from distributed import as_completed

    futures: dict[Future, int] = {}
    for position, task in enumerate(tasks):
        # pure=False: an encode is a side effect, two equal tasks are still two encodes.
        future = client.submit(  # type: ignore[no-untyped-call]
            transform, *task, retries=retries, pure=False)
        futures[future] = position
    finished = as_completed(futures)  # type: ignore[no-untyped-call]
    for future in finished:
        position = futures.pop(future)
        error = future.exception()
        result: bool | BaseException = future.result() if error is None else error
        future.release()
        del future
        yield position, result
