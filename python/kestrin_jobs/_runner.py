"""One encode on the engine's own core, in this process: the attempt shared by kestrin_jobs and
kestrin_dask.

``_engine.encode`` is the engine's encode without the interpreter lock: it can be stopped from
any thread through a :class:`_engine.Cancellation`, hands each statistics record over parsed,
checks for Ctrl-C while it waits (and then stops ffmpeg and reaps it before raising), and raises
``OSError`` subclasses as ``subprocess`` does. What is left here is what only the companions add:
the paths resolved when the call is made, the hidden name beside the output, the rename on
success, and the refusal of an output that is the input.
"""
from __future__ import annotations

import os
import re
import secrets
import threading
from collections.abc import Callable, Sequence
from typing import NamedTuple

from kestrin_jobs import _engine, _verify

PARAMETERS = ("input", "output", "codec", "res", "crop", "flags")
# A URL or a protocol ("pipe:", "https://..."): ffmpeg's, not a path to resolve.
_PROTOCOL = re.compile(r"[A-Za-z][A-Za-z0-9+.-]*:")
# An image sequence's pattern: ffmpeg writes one file per frame, which no rename can put in place.
_SEQUENCE = re.compile(r"%0?\d*d")
# ".NAME.part-XXXXXXXX.SUFFIX": what the hidden name adds to the output's.
_HIDDEN_EXTRA = len(".") + len(".part-") + 8


class EncodeProcessDied(RuntimeError):
    """Kept for callers that catch it. Encodes run in this process now, and none raises it."""


class Record(NamedTuple):
    """A statistics record as the engine parses it."""

    frame: int
    fps: float
    time: float
    speed: float | None
    size: int | None
    dup: int | None
    drop: int | None
    line: str


class Outcome(NamedTuple):
    ok: bool
    messages: tuple[str, ...]
    more_messages: int
    last_record: Record | None
    arguments: list[str]
    # The verification's findings, and whether it held (None: it did not run).
    problems: tuple[str, ...] = ()
    verified: bool | None = None


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


def _bytes(path: str) -> bytes:
    # The engine hands ffmpeg UTF-8 whatever the locale: every file operation here names the
    # same bytes, not the locale's encoding of the name.
    return path.encode()


def _resolved(path: str) -> str:
    if _PROTOCOL.match(path) or path == "-":
        return path
    return os.path.abspath(_bytes(path)).decode(errors="surrogateescape")


def hidden_path(output: str) -> str:
    """The temporary name of one attempt: hidden, beside the output, with the output's suffix
    (ffmpeg chooses the container by it), cut to fit the folder's name limit."""
    folder, name = os.path.split(output)
    dot = name.rfind(".")
    stem, suffix = (name[:dot], name[dot:]) if dot >= 0 else (name, "")
    try:
        limit = os.pathconf(_bytes(folder or "."), "PC_NAME_MAX")
    except (OSError, ValueError):
        limit = 255
    while len(_bytes(stem)) + _HIDDEN_EXTRA + len(_bytes(suffix)) > limit:
        # The stem goes first; a suffix that alone is too long names no container ffmpeg knows.
        if stem:
            stem = stem[:-1]
        else:
            suffix = suffix[:-1]
    return os.path.join(folder, f".{stem}.part-{secrets.token_hex(4)}{suffix}")


class Attempt:
    """One encode: its arguments resolved and checked when made, run by :meth:`run` on any
    thread, stopped by :meth:`cancel` from any other."""

    def __init__(self, arguments: Sequence[str], batch: bool = False,
                 quiet: bool = False, verify: bool = False) -> None:
        task = list(arguments)
        task[0], task[1] = _resolved(task[0]), _resolved(task[1])
        self.input, self.output = task[0], task[1]
        self._task = task
        self._batch = batch
        self._quiet = quiet
        self._verify = verify
        if _SEQUENCE.search(os.path.basename(self.output)):
            raise ValueError(f"the output {arguments[1]!r} is an image sequence, which "
                             "kestrin_jobs can't write under a hidden name and put in place "
                             "whole; use the engine's transform for it")
        if self.input == self.output or _same_file(self.input, self.output):
            raise ValueError(f"the output {arguments[1]!r} is the input {arguments[0]!r}: "
                             "the encode would overwrite its own source")
        # A cancellation holds a descriptor: made when the attempt runs and let go when it
        # ends, so that a long list of waiting tasks does not spend the descriptors that their
        # encodes need to start.
        self._cancellation: _engine.Cancellation | None = None
        self._cancelled = False
        self._guard = threading.Lock()

    def cancel(self) -> None:
        with self._guard:
            self._cancelled = True
            if self._cancellation is not None:
                self._cancellation.trip()

    def run(self, on_record: Callable[[Record], object] | None = None) -> Outcome:
        """Encodes to the hidden name, renames it into place on success and removes it
        otherwise. A cancelled attempt comes out as a failure."""
        hidden = hidden_path(self.output)
        source, _, codec, res, crop, flags = self._task
        receive = None if on_record is None else (lambda raw: on_record(Record(*raw)))
        cancellation = _engine.Cancellation()
        with self._guard:
            if self._cancelled:
                cancellation.trip()
            self._cancellation = cancellation
        try:
            ok, cancelled, messages, more, last, arguments = _engine.encode(
                source, hidden, codec, res, crop, flags, receive, cancellation, self._batch,
                self._quiet)
            ok = ok and not cancelled
            problems: tuple[str, ...] = ()
            verified: bool | None = None
            if ok and self._verify and os.path.lexists(_bytes(hidden)):
                found = self._verified(hidden, bool(messages))
                problems, verified = found.problems, found.ok
                ok = found.ok
            # True only with the output in place: ffmpeg may succeed without writing the file
            # (flags that send the encode elsewhere).
            if ok:
                if os.path.lexists(_bytes(hidden)):
                    os.replace(_bytes(hidden), _bytes(self.output))
                ok = os.path.lexists(_bytes(self.output))
            return Outcome(ok, messages, more, None if last is None else Record(*last),
                           arguments, problems, verified)
        finally:
            with self._guard:
                self._cancellation = None
            del cancellation
            try:
                os.unlink(_bytes(hidden))
            except FileNotFoundError:
                pass


    def _verified(self, hidden: str, met_messages: bool) -> _verify.Verification:
        """The output checked against its source before it may replace anything.

        ffmpeg at -loglevel error exits 0 over a damaged source and conceals or repeats what it
        could not decode, so an encode that met messages has the source decoded in full as
        well: an error after the source's first picture fails the output. Errors before it are
        a recording that begins mid-picture (a tuner's transport stream: 4 to 30 such lines on
        ffmpeg 5.1 and 9), which costs the output nothing.
        """
        return _verify._verify(self.input, hidden, self._task[2], self._task[5],
                               decode_output=False, decode_source=met_messages)


def _same_file(first: str, second: str) -> bool:
    try:
        return os.path.samefile(_bytes(first), _bytes(second))
    except (OSError, ValueError):
        return False


def processor_count() -> int:
    """The processors this process may use, as the engine's batch pool counts them."""
    return int(_engine.processor_count())
