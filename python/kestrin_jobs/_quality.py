"""Choosing the quality instead of a CRF: an interpolated search over the encoder's CRF, measured
on samples cut from across the film and encoded by the engine's own encode.

The windows are cut from the source without re-encoding and joined into a few samples (one per
worker), each encoded through :func:`kestrin_jobs.encode_async`: once losslessly (FFV1) as the
metric's reference, once per probed CRF with the caller's codec, crop, height and flags. Both pass
through the same engine command line, so the reference is the source at the output's size with
exactly the crop, scale and frame-rate handling of the real encode (and any picture step the
engine adds, such as deinterlacing), without a copy of the engine's rules here. The metric then
runs on the pair.
"""
from __future__ import annotations

import asyncio
import dataclasses
import itertools
import json
import math
import os
import re
import shutil
import subprocess
import tempfile
import time
from collections.abc import Coroutine, Iterable, Sequence
from typing import TypeVar

_T = TypeVar("_T")

__all__ = ["CrfProbe", "CrfResult", "search_crf", "search_crf_async"]

#: The metrics and the ffmpeg filter each needs.
METRIC_FILTERS = {"xpsnr": "xpsnr", "ssim": "ssim", "psnr": "psnr", "vmaf": "libvmaf"}
CRITERIA = ("film", "worst")

# Sampling: windows of SAMPLE_SECONDS, one per SAMPLE_SPACING seconds of film, at least
# MIN_SAMPLES and at most MAX_SAMPLES, spread evenly (the centre of each of N equal parts).
# A film whose samples would cover half of it or more is measured whole. The figures behind
# these numbers are in bench/crf_search.py and the README ("Choosing the quality").
SAMPLE_SECONDS = 2.0
SAMPLE_SPACING = 10.0
MIN_SAMPLES = 6
MAX_SAMPLES = 24
# Probes of one search at most; a search normally ends after three or four.
MAX_PROBES = 8


@dataclasses.dataclass(frozen=True)
class CrfProbe:
    """One CRF tried: the film's predicted score, the lowest window's, and the samples' rate."""

    crf: float
    score: float
    worst: float
    #: Bits per second of the encoded samples' video.
    video_bitrate: float


@dataclasses.dataclass(frozen=True)
class CrfResult:
    """What :func:`search_crf` found. ``score`` and ``worst`` are in the metric's units."""

    crf: float
    #: The score predicted for the whole film at ``crf``, aggregated over every sampled frame
    #: as ffmpeg aggregates the metric over one file.
    score: float
    #: The score of the lowest sampled window at ``crf``.
    worst: float
    #: Bytes of the whole output: the video at the samples' bit rate, plus the audio and
    #: subtitle streams that the encode copies from the input.
    predicted_size: int
    #: Every CRF tried, in the order tried.
    probes: tuple[CrfProbe, ...]
    #: Seconds the search took.
    seconds: float
    metric: str
    criterion: str
    target: float


@dataclasses.dataclass(frozen=True)
class _CrfRange:
    low: float
    high: float
    step: float
    first: float


# x264 and x265 take fractional CRFs; the others their own integer range.
_CRF_RANGES = {
    "libx264": _CrfRange(0, 51, 0.1, 23), "libx265": _CrfRange(0, 51, 0.1, 26),
    "libsvtav1": _CrfRange(1, 63, 1, 35), "libaom-av1": _CrfRange(0, 63, 1, 32),
    "libvpx-vp9": _CrfRange(0, 63, 1, 32),
}


@dataclasses.dataclass(frozen=True)
class _MetricScale:
    """A metric's target range, and how the search sees it: on a scale about linear in the CRF
    (SSIM as decibels of 1 - SSIM), with the tolerance above the target and the slope that a
    first extrapolation assumes, per CRF step of 1."""

    low: float
    high: float
    tolerance: float
    slope: float


_SCALES = {
    "xpsnr": _MetricScale(0.0, 100.0, 0.5, -0.45),
    "psnr": _MetricScale(0.0, 100.0, 0.5, -0.45),
    "ssim": _MetricScale(0.0, 1.0, 0.5, -0.4),
    "vmaf": _MetricScale(0.0, 100.0, 1.0, -1.5),
}


def search_scale(metric: str, score: float) -> float:
    """The score on the search's scale: SSIM in decibels of its distance from 1 (capped at 100),
    the others as they are."""
    if metric == "ssim":
        return 100.0 if score >= 1.0 else min(100.0, -10.0 * math.log10(1.0 - score))
    return score


def aggregate(metric: str, frames: Iterable[float]) -> float:
    """The score of many frames as ffmpeg gives it for a whole file from the same per-frame
    values: XPSNR from the mean of each frame's root weighted distortion, PSNR from the mean
    squared error, SSIM and VMAF as the mean."""
    values = list(frames)
    if not values:
        raise ValueError("no frames to aggregate")
    if metric == "xpsnr":
        mean = sum(10.0 ** (-v / 20.0) for v in values) / len(values)
        return math.inf if mean == 0 else -20.0 * math.log10(mean)
    if metric == "psnr":
        mean = sum(10.0 ** (-v / 10.0) for v in values) / len(values)
        return math.inf if mean == 0 else -10.0 * math.log10(mean)
    return sum(values) / len(values)


def next_crf(tried: Sequence[tuple[float, float]], target: float, tolerance: float,
             low: float, high: float, step: float, slope: float) -> float | None:
    """The next CRF to probe from the ``(crf, score)`` pairs tried so far, or None to stop.

    Scores are on the search scale and fall as the CRF rises. It stops when a score lies within
    ``tolerance`` above the target, when the passing and failing probes are one step apart, at
    the end of the range, or when the next CRF was already tried (a noisy curve). Between a
    passing and a failing probe it interpolates linearly between the nearest two, a sixteenth of
    their distance from either; on one side only it extrapolates with the slope of the two nearest probes
    (``slope`` with one), at most a fifth of the range at a time. It aims at the middle of the
    tolerance.
    """
    if not tried or any(target <= score <= target + tolerance for _, score in tried):
        return None
    aim = target + tolerance / 2
    passing = sorted((p for p in tried if p[1] >= target), key=lambda p: p[0])
    failing = sorted((p for p in tried if p[1] < target), key=lambda p: p[0])
    reach = (high - low) / 5
    if passing and failing:
        (good_crf, good), (bad_crf, bad) = passing[-1], failing[0]
        if bad_crf - good_crf <= step * 1.5:
            return None
        crf = good_crf + (aim - good) * (bad_crf - good_crf) / (bad - good)
        # Kept a sixteenth of the bracket from either end, so that a bent curve cannot hold one
        # end in place while the other creeps towards it a step at a time. (An eighth cost the
        # benchmark film a fifth probe: its answer lay within an eighth of the failing end.)
        margin = max(step, (bad_crf - good_crf) / 16)
        crf = min(max(crf, good_crf + margin), bad_crf - margin)
    else:
        side = passing if passing else failing
        nearest = side[-1] if passing else side[0]
        if (passing and nearest[0] >= high) or (failing and nearest[0] <= low):
            return None
        fitted = slope
        if len(side) >= 2:
            a, b = (side[-2], side[-1]) if passing else (side[0], side[1])
            if b[0] != a[0] and (b[1] - a[1]) / (b[0] - a[0]) < 0:
                fitted = (b[1] - a[1]) / (b[0] - a[0])
        move = (aim - nearest[1]) / fitted
        move = max(step, min(reach, move)) if passing else min(-step, max(-reach, move))
        crf = min(max(nearest[0] + move, low), high)
    crf = round(round(crf / step) * step, 6)
    if any(abs(crf - done) < step / 2 for done, _ in tried):
        return None
    return crf


def chosen_probe(tried: Sequence[tuple[float, float]], target: float) -> int:
    """The index of the answer among the ``(crf, score)`` pairs: the highest CRF that reaches
    the target (the smallest file), or when none does, the lowest CRF tried."""
    passing = [i for i, (_, score) in enumerate(tried) if score >= target]
    if passing:
        return max(passing, key=lambda i: tried[i][0])
    return min(range(len(tried)), key=lambda i: tried[i][0])


def sample_windows(duration: float) -> list[tuple[float, float]] | None:
    """``(start, length)`` of each sample window, or None when the film is measured whole: one
    window of ``SAMPLE_SECONDS`` at the centre of each of N equal parts of the film."""
    if not math.isfinite(duration) or duration <= 0:
        return None
    count = min(MAX_SAMPLES, max(MIN_SAMPLES, round(duration / SAMPLE_SPACING)))
    if count * SAMPLE_SECONDS * 2 >= duration:
        return None
    part = duration / count
    return [(round((i + 0.5) * part - SAMPLE_SECONDS / 2, 3), SAMPLE_SECONDS)
            for i in range(count)]


_CRF_FLAG = re.compile(r"^-crf(:.*)?$")


def _has_crf(flags: str) -> bool:
    tokens = flags.split()
    for at, token in enumerate(tokens):
        if _CRF_FLAG.match(token):
            return True
        if token.startswith("-x265-params") and at + 1 < len(tokens) and \
                re.search(r"(^|:)crf=", tokens[at + 1]):
            return True
    return False


def _checked(arguments: Sequence[object], target: object, metric: object, criterion: object,
             workers: object) -> tuple[_CrfRange, _MetricScale, float, int]:
    for name, value in zip(("input", "codec", "res", "crop", "flags"), arguments):
        if not isinstance(value, str):
            raise TypeError(f"argument '{name}': '{type(value).__qualname__}' object is not an "
                            "instance of 'str'")
    codec, flags = arguments[1], arguments[4]
    assert isinstance(codec, str) and isinstance(flags, str)
    if _has_crf(flags):
        raise ValueError("flags must not hold a CRF (-crf, or crf= in -x265-params): the "
                         "search chooses it")
    if codec not in _CRF_RANGES:
        raise ValueError(f"no CRF range known for the encoder {codec!r}; known: "
                         f"{', '.join(sorted(_CRF_RANGES))}")
    if not isinstance(metric, str) or metric not in METRIC_FILTERS:
        raise ValueError(f"unknown metric {metric!r}; metrics: {', '.join(METRIC_FILTERS)}")
    if criterion not in CRITERIA:
        raise ValueError(f"criterion must be 'film' or 'worst', not {criterion!r}")
    if isinstance(target, bool) or not isinstance(target, (int, float)):
        raise TypeError(f"target must be a number, not {type(target).__qualname__}")
    scale = _SCALES[metric]
    if not math.isfinite(target) or not scale.low < target <= scale.high:
        raise ValueError(f"target {target!r} is outside the range of {metric}: above "
                         f"{scale.low:g}, at most {scale.high:g}")
    # The processors this process may use, as the encodes' own default.
    count = len(os.sched_getaffinity(0)) if workers is None else workers
    if isinstance(count, bool) or not isinstance(count, int) or count < 1:
        raise ValueError(f"workers must be an int of at least 1, not {workers!r}")
    return _CRF_RANGES[codec], scale, float(target), count


class _ToolFailed(RuntimeError):
    pass


async def _run(arguments: Sequence[str]) -> bytes:
    """Runs ffmpeg or ffprobe and returns its standard output; the child is killed and waited
    for when the caller is cancelled. It runs in a session of its own, as the encodes do, so
    Ctrl-C reaches the caller, which then ends it."""
    process = await asyncio.create_subprocess_exec(
        *arguments, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
        start_new_session=True)
    try:
        out, err = await process.communicate()
    finally:
        if process.returncode is None:
            process.kill()
            await asyncio.shield(process.wait())
    if process.returncode != 0:
        text = err.decode("utf-8", "replace").strip()
        raise _ToolFailed(f"{arguments[0]} failed ({process.returncode}): {text[-500:]}")
    return out


async def available_metrics() -> list[str]:
    """The metrics whose filter this ffmpeg (the first on PATH) has."""
    listing = (await _run(["ffmpeg", "-hide_banner", "-nostdin", "-filters"])).decode(
        "utf-8", "replace")
    filters = {fields[1] for line in listing.splitlines() if len(fields := line.split()) >= 3}
    return [name for name, filter in METRIC_FILTERS.items() if filter in filters]


@dataclasses.dataclass(frozen=True)
class _Film:
    duration: float
    frame_rate: float
    #: Bytes of the copied streams whose container states their size.
    stated_bytes: int
    #: The copied streams whose packets must be counted instead.
    uncounted: tuple[int, ...]
    #: Where the file's own timeline starts (a transport stream's seldom at 0).
    start_time: float = 0.0


async def _probe_film(input: str) -> _Film:
    report = json.loads(await _run(["ffprobe", "-v", "error", "-print_format", "json",
                                    "-show_format", "-show_streams", input]))
    streams = report.get("streams", [])
    duration = float(report.get("format", {}).get("duration", "nan"))
    video = next((s for s in streams if s.get("codec_type") == "video"
                  and not s.get("disposition", {}).get("attached_pic")), None)
    if video is None or not math.isfinite(duration):
        raise ValueError(f"{input}: no video stream with a known duration")
    rate = _fraction(video.get("r_frame_rate", "")) or _fraction(video.get("avg_frame_rate", ""))
    copied = [s for s in streams if s.get("codec_type") in ("audio", "subtitle")]
    known, unknown = 0, []
    for stream in copied:
        size = _stream_bytes(stream, duration)
        if size is None:
            unknown.append(int(stream["index"]))
        else:
            known += size
    try:
        start_time = float(report.get("format", {}).get("start_time", "0"))
    except (TypeError, ValueError):
        start_time = 0.0
    return _Film(duration, rate or 25.0, known, tuple(unknown),
                 start_time if math.isfinite(start_time) else 0.0)


def _fraction(text: str) -> float | None:
    top, _, bottom = text.partition("/")
    try:
        value = float(top) / float(bottom or 1)
    except (ValueError, ZeroDivisionError):
        return None
    return value if value > 0 and math.isfinite(value) else None


def _stream_bytes(stream: dict[str, object], duration: float) -> int | None:
    """A copied stream's size as its container states it: the byte count that mkvmerge writes
    into its tags, or its bit rate over its (or the film's) duration."""
    tags = stream.get("tags")
    if isinstance(tags, dict):
        for key, value in tags.items():
            if key.upper().startswith("NUMBER_OF_BYTES") and str(value).isdigit():
                return int(value)
    try:
        rate = float(str(stream.get("bit_rate")))
        length = float(str(stream.get("duration", duration)))
    except ValueError:
        return None
    return round(rate * length / 8) if math.isfinite(rate * length) else None


async def _counted_bytes(input: str, indexes: Sequence[int]) -> int:
    """The packets of the given streams counted, for streams whose container states no size
    (Matroska written by ffmpeg, for one): a read of the whole file, without decoding."""
    out = await _run(["ffprobe", "-v", "error", "-show_entries", "packet=stream_index,size",
                      "-of", "csv=p=0", input])
    wanted, total = set(indexes), 0
    for line in out.decode("ascii", "replace").splitlines():
        index, _, size = line.partition(",")
        if index.isdigit() and int(index) in wanted and size.strip().isdigit():
            total += int(size)
    return total


# ffmpeg seeks this much before the time it is given when a stream delays its frames (B-frames),
# and would land on the key frame before the one found; past it, the seek still lands on that
# key frame, and the sample starts a few frames before its window's own time.
_SEEK_MARGIN = 0.2


async def _key_frames_near(input: str, times: Sequence[float]) -> list[float]:
    """The film's key frames that seeks to ``times`` (in the file's own timeline) land on, in
    one ffprobe run, sorted; none where ffprobe names none (a seek that lands elsewhere)."""
    if not times:
        return []
    out = await _run(["ffprobe", "-v", "error", "-select_streams", "V:0", "-read_intervals",
                      ",".join(f"{at:.3f}%+#1" for at in times), "-show_entries",
                      "packet=pts_time,flags", "-of", "csv=p=0", input])
    keys = []
    for line in out.decode("ascii", "replace").split():
        time_, _, flags = line.partition(",")
        try:
            found = float(time_)
        except ValueError:
            continue
        if "K" in flags and math.isfinite(found):
            keys.append(found)
    return sorted(keys)


# How much earlier a cut that found no key frame is tried again, in turn.
_CUT_BACKOFFS = (0.0, 10.0, 30.0)


async def _cut(input: str, window: tuple[float, float] | None, path: str,
               start_time: float = 0.0, keys: Sequence[float] = ()) -> float:
    """The film's video alone over the window, without re-encoding: the engine then encodes
    just that; its duration comes back. A cut without re-encoding starts at a key frame, and
    everything from there to the window's start would be encoded and measured too (up to a
    whole group of pictures, ten seconds in many films); so the window is moved back to start
    at the last of the film's `keys` (times in the file's own timeline) before it.

    A file without an index (an MPEG transport or program stream) is not sought to a key
    frame: the copy then starts at the next key frame, which in a long group of pictures lies
    beyond the window, and the cut would hold no picture. Such a cut is made again from
    further back, over that much more."""
    if window is None:
        await _copy_video(input, None, path)
        return (await _cut_facts(path))[1]
    start, length = window
    before = [key - start_time for key in keys if start - 60 <= key - start_time <= start]
    if before:
        start = max(before) + _SEEK_MARGIN
    duration = math.nan
    for backoff in _CUT_BACKOFFS:
        begin = max(0.0, start - backoff)
        await _copy_video(input, (begin, length + start - begin), path)
        packets, duration = await _cut_facts(path)
        if packets or begin == 0.0:
            break
    return duration


async def _copy_video(input: str, span: tuple[float, float] | None, path: str) -> None:
    """The film's video stream from ``span`` (start, length), or whole, without re-encoding."""
    seek = [] if span is None else ["-ss", f"{span[0]:.3f}"]
    length = [] if span is None else ["-t", f"{span[1]:.3f}"]
    await _run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", *seek, "-i", input,
                *length, "-map", "0:V:0", "-c", "copy", "-map_metadata", "-1",
                "-map_chapters", "-1", "-y", path])


async def _cut_facts(path: str) -> tuple[int, float]:
    """A cut's video packets and duration (NaN where ffprobe names none)."""
    try:
        out = await _run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-count_packets",
                          "-show_entries", "stream=nb_read_packets:format=duration", "-of",
                          "default=noprint_wrappers=1", path])
    except _ToolFailed:
        return 0, math.nan
    facts = dict(line.partition("=")[::2] for line in out.decode("ascii", "replace").split())
    packets = facts.get("nb_read_packets", "")
    try:
        duration = float(facts.get("duration", "nan"))
    except ValueError:
        duration = math.nan
    return (int(packets) if packets.isdigit() else 0), duration


async def _join(cuts: Sequence[str], path: str) -> None:
    """The cuts one after the other in one file, without re-encoding (ffmpeg's concat demuxer,
    its listing beside them: the cuts' names are ours and plain)."""
    listing = path + ".txt"
    with open(listing, "w", encoding="utf-8") as file:
        file.writelines(f"file '{os.path.basename(cut)}'\n" for cut in cuts)
    try:
        await _run(["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "concat",
                    "-i", listing, "-map", "0", "-c", "copy", "-y", path])
    finally:
        os.unlink(listing)


async def _frame_times(path: str) -> list[float]:
    """The presentation time of each frame of a lossless (intra-only) sample, in order."""
    out = await _run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                      "packet=pts_time", "-of", "csv=p=0", path])
    times = []
    for line in out.decode("ascii", "replace").split():
        try:
            times.append(float(line.strip(",")))
        except ValueError:
            continue
    return sorted(times)


async def _packets(path: str) -> bytes:
    return await _run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                       "packet=size,flags", "-of", "csv=p=0", path])


def _packet_list(out: bytes) -> list[tuple[int, bool]]:
    """ffprobe's "size,flags" lines as (size, key frame) pairs."""
    packets = []
    for line in out.decode("ascii", "replace").split():
        size, _, flags = line.partition(",")
        if size.isdigit():
            packets.append((int(size), "K" in flags))
    return packets


def metric_arguments(metric: str, distorted: str, reference: str, pix_fmt: str) -> list[str]:
    """The ffmpeg run that measures one encoded sample against its reference, frame by frame,
    on standard output. Both go to the encode's pixel format: the filters compare equal formats
    only, and the reference (FFV1) keeps the source's."""
    compare = {"xpsnr": "xpsnr=stats_file=-", "ssim": "ssim=stats_file=-",
               "psnr": "psnr=stats_file=-",
               "vmaf": "libvmaf=log_fmt=json:log_path=/dev/stdout"}[metric]
    graph = (f"[0:v]format={pix_fmt},setpts=PTS-STARTPTS[distorted];"
             f"[1:v]format={pix_fmt},setpts=PTS-STARTPTS[reference];"
             f"[distorted][reference]{compare}")
    return ["ffmpeg", "-nostdin", "-hide_banner", "-loglevel", "error", "-i", distorted,
            "-i", reference, "-lavfi", graph, "-f", "null", "-"]


_FRAME_VALUE = {"xpsnr": re.compile(r"XPSNR y:\s*(\S+)"), "ssim": re.compile(r"\bY:(\S+)"),
                "psnr": re.compile(r"\bpsnr_y:(\S+)")}


def frame_scores(metric: str, output: str) -> list[float]:
    """The luma score of each frame from the metric's per-frame output (VMAF: its score)."""
    if metric == "vmaf":
        start = output.find("{")
        log = json.loads(output[start:]) if start >= 0 else {}
        return [float(frame["metrics"]["vmaf"]) for frame in log.get("frames", [])]
    pattern = _FRAME_VALUE[metric]
    return [float(found[1]) for line in output.splitlines() if (found := pattern.search(line))]


def search_crf(input: str, codec: str, res: str, crop: str, flags: str, *, target: float,
               metric: str = "xpsnr", criterion: str = "film",
               workers: int | None = None) -> CrfResult:
    """The CRF at which ``transform(input, output, codec, res, crop, f"{flags} -crf {crf:g}")``
    reaches ``target`` in ``metric``, from encodes of samples across the film.

    ``criterion="film"``: the score predicted for the whole film reaches the target;
    ``"worst"``: every sampled window does. ``workers`` encodes and measurements run at once
    (default: the processors the process may use). Argument errors (a CRF in ``flags``, an
    encoder without a known CRF range, a metric this ffmpeg lacks, a target outside the
    metric's range) raise ``ValueError`` before anything is encoded. Ctrl-C stops it whole:
    every encode and measurement is killed and its temporary folder removed.
    """
    return asyncio.run(search_crf_async(input, codec, res, crop, flags, target=target,
                                        metric=metric, criterion=criterion, workers=workers))


async def search_crf_async(input: str, codec: str, res: str, crop: str, flags: str, *,
                           target: float, metric: str = "xpsnr", criterion: str = "film",
                           workers: int | None = None) -> CrfResult:
    """:func:`search_crf` as a coroutine; cancelling the task stops it whole."""
    crf_range, scale, goal, count = _checked((input, codec, res, crop, flags), target, metric,
                                             criterion, workers)
    available = await available_metrics()
    if metric not in available:
        raise ValueError(f"this ffmpeg has no {METRIC_FILTERS[metric]} filter for the metric "
                         f"{metric!r}; available: {', '.join(available) or 'none'}")
    started = time.monotonic()
    folder = tempfile.mkdtemp(prefix="kestrin-crf-")
    try:
        search = _Search(input, codec, res, crop, flags, metric, folder, count)
        await search.prepare()
        tried: list[tuple[float, float]] = []
        probes: list[CrfProbe] = []
        crf: float | None = crf_range.first
        while crf is not None and len(probes) < MAX_PROBES:
            probe = await search.probe(crf)
            probes.append(probe)
            tried.append((crf, search_scale(metric, probe.score if criterion == "film"
                                            else probe.worst)))
            crf = next_crf(tried, search_scale(metric, goal), scale.tolerance, crf_range.low,
                           crf_range.high, crf_range.step, scale.slope)
        best = probes[chosen_probe(tried, search_scale(metric, goal))]
        film = search.film
        assert film is not None
        video = best.video_bitrate / 8 * film.duration
        return CrfResult(crf=best.crf, score=best.score, worst=best.worst,
                         predicted_size=round(video + search.copied_bytes),
                         probes=tuple(probes),
                         seconds=time.monotonic() - started, metric=metric,
                         criterion=criterion, target=goal)
    finally:
        shutil.rmtree(folder, ignore_errors=True)


def window_groups(count: int, chunks: int) -> list[list[int]]:
    """The windows 0 .. count - 1 dealt out to ``chunks`` samples in turn, so that each sample
    holds windows from across the whole film and they cost about the same to encode."""
    chunks = max(1, min(chunks, count))
    return [list(range(first, count, chunks)) for first in range(chunks)]


def frames_per_window(frame_times: Sequence[float], durations: Sequence[float]) -> list[int]:
    """How many of a joined sample's frames (their times, in order) fall in each of the windows
    joined one after the other (their durations); the last window takes whatever lies beyond."""
    counts = [0] * len(durations)
    window, end = 0, durations[0]
    for time_ in frame_times:
        while time_ >= end and window < len(durations) - 1:
            window += 1
            end += durations[window]
        counts[window] += 1
    return counts


def key_interval(flags: str) -> int:
    """Frames from one key frame to the next in the output: the caller's -g, else x264's and
    x265's default."""
    tokens = flags.split()
    for at, token in enumerate(tokens[:-1]):
        if re.fullmatch(r"-g(:v)?", token) and tokens[at + 1].isdigit() and int(tokens[at + 1]):
            return int(tokens[at + 1])
    return 250


def film_bytes_per_frame(packets: Sequence[tuple[int, bool]], counts: Sequence[int],
                         key_interval: int) -> float:
    """The film's bytes per frame told by an encoded sample (its packets' sizes and key flags,
    in decoding order; its windows' frame counts): the key frame each window starts on is put
    there by the cut and the join, one every few dozen frames, where the film has one every
    ``key_interval`` frames (and at its scene cuts, which the windows show as their own key
    frames). Counted as they come, they made the film about a tenth larger than it came out on
    the benchmark film; left out, a sixth smaller. So they count at the film's own rate."""
    starts = set(itertools.accumulate(counts, initial=0))
    first = [size for index, (size, key) in enumerate(packets) if key and index in starts]
    rest = [size for index, (size, key) in enumerate(packets) if not (key and index in starts)]
    if not first or not rest:
        return sum(size for size, _ in packets) / max(1, len(packets))
    other = sum(rest) / len(rest)
    return other + (sum(first) / len(first) - other) / key_interval


class _Search:
    """The samples of one search and their references, made once; then one probe per CRF.

    Starting a process costs about as much as encoding a window at a small picture size, so the
    windows are not encoded one by one: they are joined (without re-encoding) into one sample
    per worker, each holding windows from across the film, and each probe encodes and measures
    those few samples side by side. A window's frames are found again in its sample's scores by
    their times.
    """

    def __init__(self, input: str, codec: str, res: str, crop: str, flags: str, metric: str,
                 folder: str, workers: int) -> None:
        self.input, self.codec, self.res, self.crop, self.flags = input, codec, res, crop, flags
        self.metric, self.folder, self.workers = metric, folder, workers
        self.key_interval = key_interval(flags)
        self.slots = asyncio.Semaphore(workers)
        self.film: _Film | None = None
        self.samples: list[str] = []
        self.references: list[str] = []
        #: Per sample, the frames of each of its windows, in order.
        self.window_frames: list[list[int]] = []
        self.pix_fmt: str | None = None
        self.copied_bytes = 0

    async def prepare(self) -> None:
        self.film = await _probe_film(self.input)
        # A film too short for its windows is one sample, whole.
        windows: list[tuple[float, float] | None] = [None]
        windows = list(sample_windows(self.film.duration) or windows)
        groups = window_groups(len(windows), self.workers)
        cuts = [os.path.join(self.folder, f"cut{i}.mkv") for i in range(len(windows))]
        self.samples = [os.path.join(self.folder, f"sample{j}.mkv") for j in range(len(groups))]
        self.references = [os.path.join(self.folder, f"reference{j}.mkv")
                           for j in range(len(groups))]
        # Counting packets reads the whole file: it runs beside the cuts and references.
        counting = asyncio.ensure_future(_counted_bytes(self.input, self.film.uncounted)) \
            if self.film.uncounted else None
        try:
            keys = await _key_frames_near(self.input, [self.film.start_time + w[0]
                                                       for w in windows if w is not None])
            durations = await _all(self._cut(window, cut, keys)
                                   for window, cut in zip(windows, cuts))
            self.window_frames = await _all(
                self._join_and_refer([cuts[i] for i in group], [durations[i] for i in group],
                                     sample, reference)
                for group, sample, reference in zip(groups, self.samples, self.references))
            self.copied_bytes = self.film.stated_bytes + (await counting if counting else 0)
        finally:
            if counting is not None and not counting.done():
                counting.cancel()
                await asyncio.gather(counting, return_exceptions=True)

    async def _cut(self, window: tuple[float, float] | None, cut: str,
                   keys: Sequence[float]) -> float:
        assert self.film is not None
        async with self.slots:
            return await _cut(self.input, window, cut, self.film.start_time, keys)

    async def _join_and_refer(self, cuts: Sequence[str], durations: Sequence[float],
                              sample: str, reference: str) -> list[int]:
        if len(cuts) == 1:
            os.rename(cuts[0], sample)
        else:
            async with self.slots:
                await _join(cuts, sample)
            for cut in cuts:
                os.unlink(cut)
        # Without every window's length the sample counts as one window.
        if len(cuts) == 1 or not all(math.isfinite(d) for d in durations):
            durations = [1.0]
        # Lossless, through the engine's own command line: the source at the output's size,
        # with whatever the engine does to the picture before the encoder. Deinterlacing, once
        # the engine decides it from the input's field order, joins here by itself: the cut
        # copies the video stream, field order included, so the engine sees the film's.
        await self._encode(sample, reference, "ffv1", "")
        async with self.slots:
            times = await _frame_times(reference)
        return frames_per_window(times, durations)

    async def _encode(self, sample: str, output: str, codec: str, flags: str) -> None:
        import kestrin_jobs

        # A sample is a temporary file the metric reads next: checking it against its source
        # would cost two probes a sample and tell nothing the metric does not.
        async with self.slots:
            report = await kestrin_jobs.encode_async(sample, output, codec, self.res, self.crop,
                                                     flags, verify=False, on_progress=_quiet)
        if not report.ok:
            reason = "; ".join(report.messages[:3]) or "ffmpeg gave no reason"
            raise RuntimeError(f"the engine's encode of a sample failed ({codec} {flags}): "
                               f"{reason}")

    async def probe(self, crf: float) -> CrfProbe:
        flags = f"{self.flags} -crf {crf:g}".strip()
        outputs = [os.path.join(self.folder, f"probe{crf:g}-{j}.mkv")
                   for j in range(len(self.samples))]
        measured = await _all(self._encode_and_measure(sample, output, reference, flags)
                              for sample, output, reference in zip(self.samples, outputs,
                                                                   self.references))
        windows = [scores[start:start + count]
                   for (scores, _, _), counts in zip(measured, self.window_frames)
                   for start, count in zip(itertools.accumulate(counts, initial=0), counts)]
        # Bytes per frame of each sample, its container's share included, weighed by frames.
        bytes_, frames = 0.0, 0
        for (_, packets, size), counts in zip(measured, self.window_frames):
            per_frame = film_bytes_per_frame(packets, counts, self.key_interval)
            payload = sum(p for p, _ in packets)
            bytes_ += per_frame * len(packets) * (size / payload if payload else 1.0)
            frames += len(packets)
        for output in outputs:
            os.unlink(output)
        assert self.film is not None
        return CrfProbe(crf=crf,
                        score=aggregate(self.metric, (s for w, _, _ in measured for s in w)),
                        worst=min(aggregate(self.metric, w) for w in windows if w),
                        video_bitrate=bytes_ * 8 * self.film.frame_rate / max(1, frames))

    async def _encode_and_measure(self, sample: str, output: str, reference: str, flags: str
                                  ) -> tuple[list[float], list[tuple[int, bool]], int]:
        await self._encode(sample, output, self.codec, flags)
        if self.pix_fmt is None:
            self.pix_fmt = await self._pixel_format(output)
        async with self.slots:
            out, packets = await _all([
                _run(metric_arguments(self.metric, output, reference, self.pix_fmt)),
                _packets(output)])
        scores = frame_scores(self.metric, out.decode("utf-8", "replace"))
        if not scores:
            raise RuntimeError(f"{self.metric} measured no frame of {os.path.basename(output)}")
        return scores, _packet_list(packets), os.path.getsize(output)

    async def _pixel_format(self, path: str) -> str:
        out = await _run(["ffprobe", "-v", "error", "-select_streams", "v:0", "-show_entries",
                          "stream=pix_fmt", "-of", "csv=p=0", path])
        return out.decode("ascii", "replace").strip() or "yuv420p"


async def _all(coroutines: Iterable[Coroutine[object, object, _T]]) -> list[_T]:
    """Runs them side by side; the first failure cancels the rest (their encodes killed) and
    is raised as itself, not inside an exception group."""
    try:
        async with asyncio.TaskGroup() as group:
            tasks = [group.create_task(coroutine) for coroutine in coroutines]
    except BaseExceptionGroup as failures:
        first: BaseException = failures
        while isinstance(first, BaseExceptionGroup):
            first = first.exceptions[0]
        raise first from None
    return [task.result() for task in tasks]


def _quiet(progress: object) -> None:
    """Keeps the samples' progress lines off the console."""
