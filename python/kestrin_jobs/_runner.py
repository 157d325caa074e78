"""One encode in a child Python process, read without blocking: the runner of kestrin_jobs and
kestrin_dask.

The child (``_child.py``) runs ``KestEngine.transform`` on a hidden temporary name beside the
output and writes its reply to a pipe of its own. The caller reads that pipe and the child's
console pipe side by side, whichever has bytes, so neither can fill up and stall the child, and
the calling thread waits in ``poll`` without the interpreter lock. An attempt is driven either by
:func:`wait_any` on the calling thread or by an asyncio event loop through :meth:`Attempt.fds`.
"""
from __future__ import annotations

import json
import os
import secrets
import select
import signal
import subprocess
import sys
import time
from collections.abc import Sequence
from typing import Protocol

_CHILD_PROGRAM = os.path.join(os.path.dirname(os.path.abspath(__file__)), "_child.py")
PARAMETERS = ("input", "output", "codec", "res", "crop", "flags")
# How long an ended attempt waits for the rest of its process group (the guard, ffmpeg) to be
# gone before it removes the temporary output, which a dying ffmpeg could still be creating.
_GROUP_END_TIMEOUT = 2.0

# kestrin's exceptions that come back as themselves (UnicodeEncodeError is rebuilt from its
# parts). Any other, kestrin's PanicException included, comes back as a RuntimeError naming it:
# a fault inside the child's engine leaves the caller's process sound.
_RAISED_AS_THEMSELVES: dict[str, type[Exception]] = {
    "OSError": OSError, "ValueError": ValueError, "TypeError": TypeError,
    "RuntimeError": RuntimeError, "MemoryError": MemoryError,
}


class EncodeProcessDied(RuntimeError):
    """The encode's child process ended without a result (killed, or out of memory)."""


class Console(Protocol):
    """Where the child's console bytes go, and when it wants to be called again without them."""

    def feed(self, chunk: bytes) -> None: ...

    def due(self) -> float | None:
        """The ``time.monotonic()`` at which :meth:`tick` has work, or None."""

    def tick(self) -> None: ...

    def close(self) -> None:
        """At the end of the console text; called by the attempt's owner, not by the attempt."""


def checked_arguments(arguments: Sequence[object], parameter: str | None = None) -> list[str]:
    """``transform``'s six arguments, with the engine's own TypeError texts: each named by its
    parameter, or all by ``parameter`` (batch's "tasks")."""
    checked: list[str] = []
    for name, value in zip(PARAMETERS, arguments):
        if not isinstance(value, str):
            raise TypeError(f"argument '{parameter or name}': {_shown(value)} is not an "
                            "instance of 'str'")
        checked.append(value)
    return checked


def checked_task(task: object) -> list[str]:
    """One task of a list, with the texts of the engine's ``batch``."""
    if not isinstance(task, tuple):
        raise TypeError(f"argument 'tasks': {_shown(task)} is not an instance of 'tuple'")
    if len(task) != len(PARAMETERS):
        raise ValueError(f"expected tuple of length {len(PARAMETERS)}, but got tuple of length "
                         f"{len(task)}")
    return checked_arguments(task, "tasks")


def _shown(value: object) -> str:
    return "'None'" if value is None else f"'{type(value).__qualname__}' object"


def attempt_path(output: str) -> str:
    """The temporary name of one attempt: hidden, beside the output, with the output's suffix
    (ffmpeg chooses the container by it)."""
    folder, name = os.path.split(output)
    stem, suffix = os.path.splitext(name)
    return os.path.join(folder, f".{stem}.part-{secrets.token_hex(4)}{suffix}")


class Attempt:
    """One started encode process, its two pipes, and its temporary output.

    Linux sends the child's death signal when the *thread* that started it ends, so an attempt
    must be started from a thread that outlives it: the one that waits for it.
    """

    def __init__(self, arguments: Sequence[str], console: Console | None,
                 console_takes_stderr: bool = False) -> None:
        self.output = arguments[1]
        self.label = os.path.basename(self.output)
        self.console = console
        self.path = attempt_path(self.output)
        child_arguments = list(arguments)
        child_arguments[1] = self.path
        self._reply = bytearray()
        read_reply, write_reply = os.pipe()
        try:
            # Without a console the child's descriptors 1 and 2 are the caller's: the engine's
            # texts reach the terminal as they would from the engine itself.
            self.child = subprocess.Popen(
                [sys.executable, "-S", _CHILD_PROGRAM, str(os.getpid()), str(write_reply),
                 json.dumps(sys.path), json.dumps(child_arguments)],
                stdin=subprocess.DEVNULL,
                stdout=subprocess.PIPE if console is not None else None,
                stderr=subprocess.STDOUT if console is not None and console_takes_stderr
                else None,
                pass_fds=(write_reply,), process_group=0)
        except BaseException:
            os.close(read_reply)
            raise
        finally:
            os.close(write_reply)
        self._open: dict[int, bytearray | None] = {read_reply: self._reply}
        self._console_fd = -1 if self.child.stdout is None else self.child.stdout.fileno()
        if self.child.stdout is not None:
            self._open[self._console_fd] = None

    def fds(self) -> list[int]:
        """The pipes still open; :meth:`read` each one that poll finds readable."""
        return list(self._open)

    @property
    def done(self) -> bool:
        """Both pipes have ended: the child has replied, or died."""
        return not self._open

    def read(self, fd: int) -> None:
        chunk = os.read(fd, 65536)
        sink = self._open[fd]
        if not chunk:
            del self._open[fd]
            self._close(fd)
        elif sink is not None:
            sink += chunk
        elif self.console is not None:
            self.console.feed(chunk)

    def finish(self) -> bool:
        """The result, once :attr:`done`: True with the output in place, False when ffmpeg
        failed; or what the engine raised, or :class:`EncodeProcessDied`."""
        try:
            status = self.child.wait()
            self._wait_for_group_end()
            how = f"by signal {-status}" if status < 0 else f"with exit status {status}"
            if not self._reply:
                raise EncodeProcessDied(
                    f"the encode process for {self.label} ended {how} without a result")
            try:
                reply = json.loads(self._reply)
            except ValueError:
                raise EncodeProcessDied(f"the encode process for {self.label} ended {how} "
                                        "in the middle of its result") from None
            result = _outcome(reply)
            # ffmpeg may succeed without writing the file (flags that send the encode elsewhere).
            if result and os.path.lexists(self.path):
                os.replace(self.path, self.output)
            return result
        finally:
            self._release()

    def kill(self) -> None:
        """Ends the child, its guard and its ffmpeg at once and removes the temporary output;
        returns when they are gone. Only releases what is left once the child has been reaped."""
        if self.child.returncode is None:
            # The child leads the group from its spawn and is not reaped yet: the group's
            # number cannot have passed to anyone else.
            try:
                os.killpg(self.child.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            self.child.kill()
            self.child.wait()
            self._wait_for_group_end()
        self._release()

    def _wait_for_group_end(self) -> None:
        deadline = time.monotonic() + _GROUP_END_TIMEOUT
        while _group_has_live_member(self.child.pid) and time.monotonic() < deadline:
            time.sleep(0.005)

    def _release(self) -> None:
        for fd in list(self._open):
            del self._open[fd]
            self._close(fd)
        if os.path.lexists(self.path):
            os.unlink(self.path)

    def _close(self, fd: int) -> None:
        if fd == self._console_fd and self.child.stdout is not None:
            self.child.stdout.close()
        else:
            os.close(fd)


def _group_has_live_member(group: int) -> bool:
    """Whether a process of the group is still running. A killed ffmpeg whose parent is gone
    stays a zombie until the init process reaps it, which some never do: it counts as ended."""
    try:
        os.killpg(group, 0)
    except OSError:  # ESRCH, or EPERM: the number belongs to another user's group by now
        return False
    for entry in os.scandir("/proc"):
        if not entry.name.isdigit():
            continue
        try:
            with open(os.path.join(entry.path, "stat"), "rb") as stat:
                fields = stat.read().rsplit(b")", 1)[1].split()
        except (OSError, IndexError):
            continue
        if fields[0] != b"Z" and int(fields[2]) == group:
            return True
    return False


def _outcome(reply: dict[str, object]) -> bool:
    if "error" not in reply:
        return bool(reply["ok"])
    name, message = str(reply["error"]), str(reply["message"])
    parts = reply.get("unicode")
    if name == "UnicodeEncodeError" and isinstance(parts, list) and len(parts) == 5:
        encoding, text, start, end, reason = parts
        raise UnicodeEncodeError(str(encoding), str(text), int(start), int(end), str(reason))
    raised = _RAISED_AS_THEMSELVES.get(name)
    if raised is None:
        raise RuntimeError(f"{name}: {message}")
    raise raised(message)


def run(attempt: Attempt) -> bool:
    """Drives one attempt to its result on this thread; kills it on any way out before that."""
    try:
        while not attempt.done:
            wait_any([attempt])
        if attempt.console is not None:
            attempt.console.close()
        return attempt.finish()
    finally:
        attempt.kill()


def wait_any(attempts: Sequence[Attempt]) -> list[Attempt]:
    """Waits, without the interpreter lock, until a pipe of one of the attempts has bytes or a
    console is due; reads them. Returns the attempts that are done."""
    poller = select.poll()
    owners: dict[int, Attempt] = {}
    for attempt in attempts:
        for fd in attempt.fds():
            owners[fd] = attempt
            poller.register(fd, select.POLLIN)
    dues = [due for a in attempts if a.console is not None
            if (due := a.console.due()) is not None]
    timeout = None if not dues else max(0, round((min(dues) - time.monotonic()) * 1000) + 1)
    for fd, _ in poller.poll(timeout):
        owners[fd].read(fd)
    for attempt in attempts:
        if attempt.console is not None:
            attempt.console.tick()
    return [attempt for attempt in attempts if attempt.done]
