"""Checks an encode's output against its source, so that a source is let go only for an output
that holds what it held: readable, the encoder's video, as long, every audio and subtitle stream,
font and chapter, and, on request, decodable throughout."""
from __future__ import annotations

import dataclasses
import json
import math
import os
import re
import selectors
import stat
import subprocess
from collections.abc import Callable, Sequence

__all__ = ["Verification", "verify"]


@dataclasses.dataclass(frozen=True)
class Verification:
    """What :func:`verify` found."""

    #: True when every check that ran held.
    ok: bool
    #: Each finding in plain words, such as ``"the output is 1.00 s long, the source 3.00 s"``.
    problems: tuple[str, ...]
    #: The checks that did not run, each with the reason: an option in ``flags`` that changes
    #: what it compares (``"duration (-t)"``), or a source that cannot be compared
    #: (``"duration (the source gives none)"``).
    unchecked: tuple[str, ...]
    #: True when the output was decoded in full (``decode=True``); the source was too, unless
    #: ``unchecked`` names it.
    decoded: bool


# The engine splits flags at the characters with the Unicode White_Space property.
_WHITE_SPACE = re.compile("[\t-\r \x85\xa0\u1680\u2000-\u200a\u2028\u2029\u202f\u205f\u3000]+")

# Options of the task's flags that legitimately change what a check compares, and the checks
# they switch off. An option counts with any stream specifier (-frames:v:0, -c:v:0).
_CUTS = ("duration", "chapters")
_STREAMS = ("audio streams", "subtitle streams", "attachments")
_SWITCHES: dict[str, tuple[str, ...]] = {
    "-t": _CUTS, "-to": _CUTS, "-ss": _CUTS, "-frames": _CUTS, "-vframes": _CUTS, "-fs": _CUTS,
    "-shortest": _CUTS,
    "-an": ("audio streams",), "-sn": ("subtitle streams",),
    "-map": _STREAMS,
    "-map_chapters": ("chapters",),
}
_VIDEO_ENCODER_OPTIONS = ("-c", "-codec", "-c:v", "-codec:v", "-vcodec")

# How much shorter than its source an output may be. Measured on the engine's encodes (libx264
# and libx265) of the generated real-world clips and of transport-stream recordings cut
# mid-picture, with ffmpeg 5.1.9 and 9.0.2: outputs from 0.040 s shorter to 0.160 s longer than
# their sources. The shortest is a variable-rate clip (25, then 5 frames a second) on ffmpeg 9,
# one output frame short: the constant-rate conversion fills the last source frame's 0.2 s
# but one frame (ffmpeg 5.1 leaves that frame's duration out of the source's, hence the 0.160 s
# longer). A recording cut mid-picture came out 0.002 s short; Matroska rounds to the
# millisecond. So two frames of the output (80 ms at 25 frames a second) and 10 ms: an output
# short of a single second of a film is still caught.
_ROUNDING = 0.010
_FRAMES = 2
_FALLBACK_FRAME = 1 / 24

# Bounds on what a child may make us hold: a probe report of a file with hostile tags, a
# decode that writes an error for every frame of a two-hour film.
_REPORT_LIMIT = 64 << 20
_LINE_LIMIT = 4096


def verify(input: str, output: str, *, codec: str = "", flags: str = "",
           decode: bool = False) -> Verification:
    """Compares an encode's ``output`` with its source ``input``.

    ``codec`` and ``flags`` are the task's: ``libx265`` (or another HEVC encoder) wants HEVC
    video, ``libx264`` H.264, any other name any video; an option in ``flags`` that changes what
    a check compares (``-t``, ``-to``, ``-ss``, ``-frames:v``, ``-vframes``, ``-fs``,
    ``-shortest``, ``-an``, ``-sn``, ``-map``, ``-map_chapters``) switches that check off, and
    ``unchecked`` says so. The engine's encode leaves out data streams (timecode and telemetry
    tracks) and cover pictures by design: their absence is no problem.

    With ``decode=True`` both files are decoded in full, side by side (a pass over each): any
    error in the output is a problem, and so is an error in the source after its first picture,
    since an output made from a damaged source repeats or skips what the damage destroyed.
    """
    return _verify(input, output, codec, flags, decode_output=decode, decode_source=decode)


def _verify(input: str, output: str, codec: str, flags: str, *, decode_output: bool,
            decode_source: bool) -> Verification:
    for name, value in (("input", input), ("output", output), ("codec", codec),
                        ("flags", flags)):
        if not isinstance(value, str):
            shown = "'None'" if value is None else f"'{type(value).__qualname__}' object"
            raise TypeError(f"argument '{name}': {shown} is not an instance of 'str'")
    tokens = [token for token in _WHITE_SPACE.split(flags) if token]
    unchecked: dict[str, list[str]] = {}
    for token in tokens:
        for check in _switched_off(token):
            unchecked.setdefault(check, []).append(token)
    wanted = _wanted_video(codec, tokens)
    problems: list[str] = []

    # A named pipe or a device would give its bytes to ffprobe instead of the encode.
    comparable = _regular_file(input)
    output_probe, source_probe = _ProbeRun(output), _ProbeRun(input)
    decodes: dict[str, _DecodeRun] = {}
    if decode_output:
        decodes["the output"] = _DecodeRun(output, before_first_picture_counts=True)
    if decode_source and comparable:
        decodes["the source"] = _DecodeRun(input, before_first_picture_counts=False)
    _run_all([output_probe, *([source_probe] if comparable else []), *decodes.values()])

    output_report = output_probe.report()
    if output_report is None:
        problems.append(f"the output cannot be read: {output_probe.reason()}")
    else:
        problems += _video_problems(output_report, wanted)
    source_report = source_probe.report() if comparable else None
    if not comparable:
        for check in ("duration", *_STREAMS, "chapters", *(["source decode"] * decode_source)):
            unchecked.setdefault(check, []).append("the source is not a regular file")
    elif source_report is None:
        problems.append(f"the source cannot be read: {source_probe.reason()}")
    elif output_report is not None:
        problems += _comparison_problems(source_report, output_report, unchecked)
    for which, decode_run in decodes.items():
        problem = decode_run.problem(which)
        if problem:
            problems.append(problem)
    return Verification(
        ok=not problems, problems=tuple(problems),
        unchecked=tuple(f"{check} ({', '.join(dict.fromkeys(why))})"
                        for check, why in unchecked.items()),
        decoded=decode_output)


def _switched_off(token: str) -> tuple[str, ...]:
    name = token.split(":", 1)[0]
    # -frames:v and -frames:a both cut the film short; a stream specifier changes nothing else.
    return _SWITCHES.get(name, ()) if token.startswith("-") else ()


def _wanted_video(codec: str, tokens: Sequence[str]) -> str | None:
    """The video codec that the encoder named makes: the last video encoder option of the
    flags overrides the task's codec, as on ffmpeg's command line."""
    for option, value in zip(tokens, tokens[1:]):
        if option in _VIDEO_ENCODER_OPTIONS or re.fullmatch(r"-c(odec)?:v:\d+", option):
            codec = value
    name = codec.lower()
    if "265" in name or "hevc" in name:
        return "hevc"
    if "264" in name:
        return "h264"
    return None


def _regular_file(path: str) -> bool:
    try:
        return stat.S_ISREG(os.stat(path).st_mode)
    except (OSError, ValueError):
        return True  # let ffprobe say why it cannot be read


def _pictures(report: dict[str, object]) -> list[dict[str, object]]:
    return [stream for stream in _streams(report) if stream.get("codec_type") == "video"
            and not _disposition(stream, "attached_pic")]


def _streams(report: dict[str, object]) -> list[dict[str, object]]:
    streams = report.get("streams")
    return [s for s in streams if isinstance(s, dict)] if isinstance(streams, list) else []


def _disposition(stream: dict[str, object], name: str) -> bool:
    disposition = stream.get("disposition")
    return isinstance(disposition, dict) and disposition.get(name) == 1


def _video_problems(report: dict[str, object], wanted: str | None) -> list[str]:
    pictures = _pictures(report)
    if not pictures:
        return ["the output holds no video stream"]
    found = pictures[0].get("codec_name")
    if wanted is not None and found != wanted:
        names = {"hevc": "HEVC", "h264": "H.264"}
        return [f"the output's video is {found or 'of no known codec'}, not "
                f"{names[wanted]} as the encoder makes"]
    return []


def _comparison_problems(source: dict[str, object], output: dict[str, object],
                         unchecked: dict[str, list[str]]) -> list[str]:
    problems = []
    if "duration" not in unchecked:
        # A file lasts as long as its longest stream: with streams left out, the longest may be
        # gone (an audio track that outlasts the picture), so the pictures are compared.
        dropped = any(check in unchecked for check in _STREAMS)
        measure, output_name, source_name, of_what = (
            (_video_duration, "the output's video", "the source's", " for its video") if dropped
            else (_duration, "the output", "the source", ""))
        wanted, got = measure(source), measure(output)
        if wanted is None:
            unchecked["duration"] = [f"the source gives none{of_what}"]
        elif got is None:
            problems.append(f"the output gives no duration{of_what}")
        elif got < wanted - _tolerance(output):
            problems.append(f"{output_name} is {got:.2f} s long, {source_name} {wanted:.2f} s")
    for kind, check in (("audio", "audio streams"), ("subtitle", "subtitle streams"),
                        ("attachment", "attachments")):
        if check in unchecked:
            continue
        had = sum(1 for s in _streams(source) if s.get("codec_type") == kind)
        kept = sum(1 for s in _streams(output) if s.get("codec_type") == kind)
        if kept < had:
            noun = {"audio": "audio stream", "subtitle": "subtitle stream",
                    "attachment": "attachment"}[kind]
            problems.append(f"{_missing(had - kept, had, noun)} missing")
    if "chapters" not in unchecked:
        had, kept = len(_list(source, "chapters")), len(_list(output, "chapters"))
        if kept < had:
            problems.append(f"{_missing(had - kept, had, 'chapter')} missing")
    return problems


def _missing(count: int, of: int, noun: str) -> str:
    return f"{count} of the source's {of} {noun}s {'is' if count == 1 else 'are'}"


def _list(report: dict[str, object], key: str) -> list[object]:
    value = report.get(key)
    return value if isinstance(value, list) else []


def _duration(report: dict[str, object]) -> float | None:
    form = report.get("format")
    value = form.get("duration") if isinstance(form, dict) else None
    try:
        seconds = float(value) if isinstance(value, str) else math.nan
    except ValueError:
        return None
    return seconds if math.isfinite(seconds) and seconds > 0 else None


def _video_duration(report: dict[str, object]) -> float | None:
    """The first picture stream's duration: its own, or the tag that Matroska muxers write."""
    pictures = _pictures(report)
    if not pictures:
        return None
    tags = pictures[0].get("tags")
    texts = [pictures[0].get("duration")] + [
        value for key, value in (tags.items() if isinstance(tags, dict) else ())
        if key.upper().startswith("DURATION")]
    for text in texts:
        if not isinstance(text, str):
            continue
        clock = re.fullmatch(r"(\d+):(\d\d):(\d\d(?:\.\d*)?)", text)
        try:
            seconds = (int(clock[1]) * 3600 + int(clock[2]) * 60 + float(clock[3]) if clock
                       else float(text))
        except ValueError:
            continue
        if math.isfinite(seconds) and seconds > 0:
            return seconds
    return None


def _tolerance(output: dict[str, object]) -> float:
    frame = _FALLBACK_FRAME
    pictures = _pictures(output)
    rate = pictures[0].get("avg_frame_rate") if pictures else None
    if isinstance(rate, str) and re.fullmatch(r"\d+/\d+", rate):
        numerator, denominator = map(int, rate.split("/"))
        if numerator > 0 and denominator > 0:
            frame = denominator / numerator
    return _FRAMES * frame + _ROUNDING


class _Run:
    """One child whose standard output and error are read as they come, within bounds."""

    def __init__(self, arguments: list[str]) -> None:
        self.arguments = arguments
        self.child: subprocess.Popen[bytes] | None = None
        self.status: int | None = None

    def start(self) -> None:
        self.child = subprocess.Popen(self.arguments, stdin=subprocess.DEVNULL,
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE)

    def take_stdout(self, data: bytes) -> None:
        raise NotImplementedError

    def take_stderr(self, data: bytes) -> None:
        raise NotImplementedError

    def ended(self) -> None:
        pass


def _run_all(runs: Sequence[_Run]) -> None:
    """Runs the children side by side and reads them to their end; none outlives the call."""
    try:
        with selectors.DefaultSelector() as selector:
            for run in runs:
                run.start()
                assert run.child is not None and run.child.stdout and run.child.stderr
                selector.register(run.child.stdout, selectors.EVENT_READ,
                                  (run, run.take_stdout))
                selector.register(run.child.stderr, selectors.EVENT_READ,
                                  (run, run.take_stderr))
            while selector.get_map():
                for key, _ in selector.select():
                    run, sink = key.data
                    data = os.read(key.fd, 65536)
                    if data:
                        sink(data)
                    else:
                        selector.unregister(key.fileobj)
        for run in runs:
            assert run.child is not None
            run.status = run.child.wait()
            run.ended()
    finally:
        for run in runs:
            if run.child is not None:
                if run.child.poll() is None:
                    run.child.kill()
                run.child.wait()
                for pipe in (run.child.stdout, run.child.stderr):
                    if pipe is not None:
                        pipe.close()


class _ProbeRun(_Run):
    def __init__(self, path: str) -> None:
        super().__init__(["ffprobe", "-v", "error", "-print_format", "json", "-show_format",
                          "-show_streams", "-show_chapters", path])
        self._report = bytearray()
        self._errors = _ErrorLines()
        self._too_long = False

    def take_stdout(self, data: bytes) -> None:
        if len(self._report) + len(data) > _REPORT_LIMIT:
            self._too_long = True
            self._report.clear()
        elif not self._too_long:
            self._report += data

    def take_stderr(self, data: bytes) -> None:
        self._errors.feed(data)

    def ended(self) -> None:
        self._errors.close()

    def report(self) -> dict[str, object] | None:
        if self.status != 0 or self._too_long:
            return None
        try:
            report = json.loads(self._report)
        except ValueError:
            return None
        return report if isinstance(report, dict) and _streams(report) else None

    def reason(self) -> str:
        if self._too_long:
            return f"ffprobe's report is longer than {_REPORT_LIMIT >> 20} MiB"
        if self._errors.first:
            return self._errors.first
        if self.status != 0:
            return f"ffprobe ended with status {self.status}"
        return "ffprobe finds no stream in it"


class _DecodeRun(_Run):
    """A full decode of every video stream (cover pictures aside) and every audio stream.

    ffmpeg goes on after a decode error and exits with 0 (the damaged downloads of the tests
    gave 3 to 785 error lines and status 0), so the errors are counted from its log; -xerror
    would stop at the first and hide how many there are. A recording cut mid-picture, as a
    transport stream from a tuner begins, makes the decoder complain until its first key frame:
    5 to 30 error lines (non-existing PPS, decode_slice_header error, no frame!, co located
    POCs unavailable) for a 6 s recording with a key frame every 12 frames cut at 3, 6 and 10 %,
    on ffmpeg 5.1.9 and 9.0.2, against 3 lines for a 20 s Matroska file with 30 % of its middle
    zeroed (the demuxer skips the lost clusters whole). No count separates the two; the place
    does: so a source's errors before its first decoded picture are the normal start of such a
    recording and do not count. An output, which the encoder began with a key frame, gets no
    such allowance. The first picture is marked by showinfo on frame 0 alone (select drops the
    rest, so the filter costs nothing), and the log's levels (level+info) tell its line from
    the errors.
    """

    _FIRST_PICTURE = re.compile(r"^\[Parsed_showinfo_\d+ @ [^]]*\] \[info\] n: *0 ")
    # The level follows the contexts ("[h264 @ 0x...] [error] ..."), so that a tag's value
    # echoed at info level ("[info]     title : [error] ...") is not taken for one.
    _ERROR = re.compile(r"^((?:\[[^]]*\] )*?)\[(?:error|fatal|panic)\] ")
    _REPEATED = re.compile(r"\s*Last message repeated (\d+) times")
    _ADDRESS = re.compile(r" @ 0x[0-9a-f]+(?=\])")

    def __init__(self, path: str, *, before_first_picture_counts: bool) -> None:
        super().__init__(["ffmpeg", "-nostdin", "-hide_banner", "-nostats", "-loglevel",
                          "level+info", "-i", path, "-map", "0:V?", "-map", "0:a?",
                          "-vf", "select='eq(n,0)',showinfo", "-f", "null", "-"])
        self._lines = _ErrorLines(self._line)
        self._started = before_first_picture_counts
        self._last_counted = False
        self.count = 0
        self.first = ""

    def take_stdout(self, data: bytes) -> None:
        pass

    def take_stderr(self, data: bytes) -> None:
        self._lines.feed(data)

    def ended(self) -> None:
        self._lines.close()

    def _line(self, line: str) -> None:
        if not self._started and self._FIRST_PICTURE.search(line):
            self._started = True
        repeated = self._REPEATED.match(line)
        if repeated:
            if self._last_counted:
                self.count += int(repeated[1])
        elif (error := self._ERROR.match(line)):
            self._last_counted = self._started
            if self._started:
                self.count += 1
                if not self.first:
                    # The address of ffmpeg's context tells the reader nothing.
                    self.first = self._ADDRESS.sub("", error[1] + line[error.end():])
        else:
            self._last_counted = False

    def problem(self, which: str) -> str | None:
        if self.count:
            return (f"{which} does not decode cleanly: {self.count} error"
                    f"{'' if self.count == 1 else 's'}, the first: {self.first}")
        if self.status != 0:
            return f"{which} does not decode to its end: ffmpeg ended with status {self.status}"
        return None


class _ErrorLines:
    """Cuts a child's log into lines, each at most _LINE_LIMIT characters, and keeps the first
    one unless a handler takes them all; memory stays bounded however much the child writes."""

    def __init__(self, handle: Callable[[str], object] | None = None) -> None:
        self._handle = handle
        self._pending = b""
        self._skipping = False
        self.first = ""

    def feed(self, data: bytes) -> None:
        lines = (self._pending + data).split(b"\n")
        self._pending = lines.pop()
        for line in lines:
            self._take(line)
        if len(self._pending) > _LINE_LIMIT:
            self._take(self._pending)
            self._pending = b""
            self._skipping = True

    def close(self) -> None:
        if self._pending:
            self._take(self._pending)
        self._pending = b""

    def _take(self, raw: bytes) -> None:
        if self._skipping:  # the rest of a line already cut
            self._skipping = False
            return
        line = raw[:_LINE_LIMIT].decode("utf-8", "replace").strip()
        if not line:
            return
        if self._handle is not None:
            self._handle(line)
        elif not self.first:
            self.first = line
