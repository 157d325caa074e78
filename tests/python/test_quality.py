"""kestrin_jobs.search_crf: the search's steps and aggregation as pure functions, its argument
errors before anything runs, one real search, and a cancelled search that leaves nothing."""
import asyncio
import json
import math
import os
import pathlib
import subprocess
import tempfile

import pytest

from conftest import REAL_FFMPEG, SANITIZED, processes_naming, wait_for

import kestrin_jobs
from kestrin_jobs import _quality

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the encode processes would start without the sanitizer runtimes")

X264 = dict(target=38.0, tolerance=0.5, low=0, high=51, step=0.1, slope=-0.45)


@pytest.mark.parametrize("tried, expected", [
    pytest.param([(23, 39.4)], 25.6, id="one passing probe: the default slope, towards the aim"),
    pytest.param([(23, 50.0)], 33.2, id="far above: at most a fifth of the range at once"),
    pytest.param([(20, 36.5), (23, 35.0)], 16.5, id="two failing: their own slope"),
    pytest.param([(20, 40.0), (30, 36.0)], 24.4, id="on both sides: interpolated"),
    pytest.param([(23, 44.56), (33.2, 37.31), (31.9, 37.98)], 31.3,
                 id="on both sides: from the nearest two, kept off the failing one"),
    pytest.param([(23, 38.3)], None, id="within the tolerance above the target"),
    pytest.param([(24.0, 38.7), (24.1, 37.9)], None, id="pass and fail one step apart"),
    pytest.param([(20, 37.9), (22, 38.6)], None, id="a noisy curve: passing above failing"),
    pytest.param([(51, 60.0)], None, id="passing at the top of the range"),
    pytest.param([(0, 20.0)], None, id="failing at the bottom of the range"),
])
def test_next_crf(tried, expected):
    assert _quality.next_crf(tried, **X264) == expected


def test_next_crf_of_an_integer_range_and_the_chosen_probe():
    assert _quality.next_crf([(35, 40.0)], 38.0, 0.5, 1, 63, 1, -0.45) == 39
    tried = [(23, 39.4), (26, 37.0), (24.5, 38.9)]
    assert _quality.chosen_probe(tried, 38.0) == 2
    assert _quality.chosen_probe([(23, 30.0), (10, 35.0)], 38.0) == 1  # none reaches it


@pytest.mark.parametrize("metric, frames, expected", [
    ("xpsnr", [40.0, 30.0], 33.63397895195773),  # from the mean root distortion
    ("psnr", [40.0, 30.0], 32.596373105057566),  # from the mean squared error
    ("psnr", [math.inf, 30.0], 33.01029995663981),  # a perfect frame adds no error
    ("ssim", [0.9, 1.0], 0.95),
    ("vmaf", [80.0, 90.0, 100.0], 90.0),
])
def test_aggregate(metric, frames, expected):
    assert _quality.aggregate(metric, frames) == pytest.approx(expected, abs=1e-12)


# A joined sample's frames back to its windows, by time; frames beyond the last window's end
# (a rounded duration) stay in it.
@pytest.mark.parametrize("times, durations, expected", [
    ([0.0, 0.5, 1.0, 1.5, 2.0, 2.5], [1.0, 2.0], [2, 4]),
    ([0.0, 0.9, 1.0, 3.1, 3.2], [1.0, 2.0], [2, 3]),
    ([0.0, 0.1, 5.0], [0.05, 0.05, 1.0], [1, 0, 2]),  # a window of no frame stays empty
])
def test_frames_per_window(times, durations, expected):
    assert _quality.frames_per_window(times, durations) == expected


# Each window's own first key frame weighs at the film's key-frame rate; one inside a window
# (a scene cut) counts as it comes.
@pytest.mark.parametrize("packets, counts, flags, expected", [
    ([(1000, True), (10, False), (10, False), (1000, True), (10, False)], [3, 2], "",
     10 + 990 / 250),
    ([(1000, True), (10, False), (1000, True), (10, False)], [4], "-preset slow -g 10",
     (10 + 1000 + 10) / 3 + (1000 - 340) / 10),
    ([(500, True)], [1], "-g x", 500.0),
])
def test_film_bytes_per_frame(packets, counts, flags, expected):
    interval = _quality.key_interval(flags)
    assert _quality.film_bytes_per_frame(packets, counts, interval) == pytest.approx(expected)


@pytest.mark.parametrize("duration, windows", [
    (240.0, [(4.0 + 10 * i, 2.0) for i in range(24)]),
    (7200.0, [(149.0 + 300 * i, 2.0) for i in range(24)]),
    (20.0, None),  # six windows would cover more than half of it: measured whole
    (math.nan, None),
])
def test_sample_windows(duration, windows):
    assert _quality.sample_windows(duration) == windows


@pytest.mark.parametrize("change, error, text", [
    ({"flags": "-preset slow -crf 20"}, ValueError, "must not hold a CRF"),
    ({"flags": "-crf:v 20"}, ValueError, "must not hold a CRF"),
    ({"flags": "-x265-params aq-mode=3:crf=20"}, ValueError, "must not hold a CRF"),
    ({"codec": "h264_nvenc"}, ValueError, "no CRF range known for the encoder 'h264_nvenc'"),
    ({"metric": "butteraugli"}, ValueError, "unknown metric 'butteraugli'"),
    ({"criterion": "mean"}, ValueError, "criterion must be 'film' or 'worst'"),
    ({"target": math.nan}, ValueError, "outside the range of xpsnr"),
    ({"target": math.inf}, ValueError, "outside the range of xpsnr"),
    ({"metric": "ssim", "target": 1.5}, ValueError, "outside the range of ssim"),
    ({"target": "40"}, TypeError, "target must be a number"),
    ({"workers": 0}, ValueError, "workers must be"),
    ({"input": pathlib.Path("a.mkv")}, TypeError, "argument 'input'"),
])
def test_argument_errors_raise_before_anything_runs(fake, change, error, text):
    arguments = dict(input="a.mkv", codec="libx264", res="480", crop="", flags="",
                     target=40.0) | change
    with pytest.raises(error, match=text):
        kestrin_jobs.search_crf(**arguments)
    assert fake.invocations() == []


FILTER_LISTING = """Filters:
  T.. = Timeline support
 ... psnr              VV->V      Calculate the PSNR between two video streams.
 ... ssim              VV->V      Calculate the SSIM between two video streams.
 ... libvmaf           VV->V      Calculate the VMAF between two video streams.
"""


def test_a_metric_this_ffmpeg_lacks_is_named_with_those_it_has(fake):
    fake.output("ffmpeg", "stdout", FILTER_LISTING)
    with pytest.raises(ValueError, match=r"no xpsnr filter .*; available: ssim, psnr, vmaf$"):
        kestrin_jobs.search_crf("a.mkv", "libx264", "480", "", "", target=40.0)
    (listing,) = fake.invocations()
    assert listing["argv"][1:] == ["-hide_banner", "-nostdin", "-filters"]


def test_vmaf_is_measured_from_libvmaf_s_log(fake):
    """No ffmpeg of ours has libvmaf: the double stands for one that has, and answers the
    measuring run with the log libvmaf writes."""
    log = {"version": "3.0.0", "frames": [{"frameNum": 0, "metrics": {"vmaf": 91.5}},
                                          {"frameNum": 1, "metrics": {"vmaf": 88.25}}],
           "pooled_metrics": {"vmaf": {"mean": 89.875}}}
    fake.output("ffmpeg", "stdout", FILTER_LISTING)
    assert "vmaf" in asyncio.run(_quality.available_metrics())
    fake.output("ffmpeg", "stdout", json.dumps(log))
    arguments = _quality.metric_arguments("vmaf", "d.mkv", "r.mkv", "yuv420p10le")
    out = asyncio.run(_quality._run(arguments)).decode()
    assert _quality.frame_scores("vmaf", out) == [91.5, 88.25]
    assert fake.invocations()[-1]["argv"][1:] == [
        "-nostdin", "-hide_banner", "-loglevel", "error", "-i", "d.mkv", "-i", "r.mkv", "-lavfi",
        "[0:v]format=yuv420p10le,setpts=PTS-STARTPTS[distorted];"
        "[1:v]format=yuv420p10le,setpts=PTS-STARTPTS[reference];"
        "[distorted][reference]libvmaf=log_fmt=json:log_path=/dev/stdout", "-f", "null", "-"]


def two_scene_clip(path, seconds=3):
    """A still picture, then a fractal zoom: two scenes of very different difficulty."""
    scenes = [f"smptehdbars=s=192x108:r=24,trim=duration={seconds}",
              f"mandelbrot=s=192x108:r=24:maxiter=200,trim=duration={seconds}"]
    inputs = [a for scene in scenes for a in ("-f", "lavfi", "-i", scene + ",format=yuv420p")]
    subprocess.run([REAL_FFMPEG, "-nostdin", "-y", "-hide_banner", "-loglevel", "error", *inputs,
                    "-f", "lavfi", "-i", f"sine=duration={2 * seconds}",
                    "-filter_complex", "[0:v][1:v]concat=n=2:v=1:a=0[v]", "-map", "[v]",
                    "-map", "2:a", "-c:v", "libx264", "-crf", "8", "-g", "12",
                    "-c:a", "aac", str(path)],
                   check=True)
    return str(path)


@pytest.fixture
def sampled(monkeypatch, tmp_path):
    """Windows short enough for a clip of seconds (four in six seconds, two in each scene: the
    clip's scenes weigh as they do in it), and a temporary folder of the test's own."""
    monkeypatch.setattr(_quality, "SAMPLE_SECONDS", 0.5)
    monkeypatch.setattr(_quality, "SAMPLE_SPACING", 1.5)
    monkeypatch.setattr(_quality, "MIN_SAMPLES", 2)
    temporary = tmp_path / "tmp"
    temporary.mkdir()
    monkeypatch.setattr(tempfile, "tempdir", str(temporary))
    return temporary


def this_ffmpeg_metric():
    listing = subprocess.run([REAL_FFMPEG, "-hide_banner", "-filters"], capture_output=True,
                             text=True).stdout
    return ("xpsnr", 40.0) if " xpsnr " in listing else ("ssim", 0.985)


def test_a_real_search_meets_its_target_on_the_full_encode(real_tools, sampled, tmp_path,
                                                            engine):
    clip = two_scene_clip(tmp_path / "two.mkv")
    metric, target = this_ffmpeg_metric()
    found = kestrin_jobs.search_crf(clip, "libx264", "108", "", "-preset veryfast -nostdin",
                                    target=target, metric=metric, workers=2)
    assert 1 <= len(found.probes) <= _quality.MAX_PROBES
    assert found.crf in [p.crf for p in found.probes]
    assert list(sampled.iterdir()) == []
    output, reference = str(tmp_path / "full.mkv"), str(tmp_path / "reference.mkv")
    assert engine.transform(clip, output, "libx264", "108", "",
                            f"-preset veryfast -nostdin -crf {found.crf:g}")
    assert engine.transform(clip, reference, "ffv1", "108", "", "-an -nostdin")
    measured = subprocess.run(_quality.metric_arguments(metric, output, reference, "yuv420p"),
                              capture_output=True, text=True, check=True).stdout
    score = _quality.aggregate(metric, _quality.frame_scores(metric, measured))
    low = _quality.search_scale(metric, target) - 0.5
    high = _quality.search_scale(metric, target) + 1.5
    assert low <= _quality.search_scale(metric, score) <= high, (found, score)
    assert abs(found.predicted_size / os.path.getsize(output) - 1) < 0.15, found


def test_a_cancelled_search_leaves_nothing(real_tools, sampled, tmp_path):
    clip = two_scene_clip(tmp_path / "two.mkv", seconds=6)

    async def cancel_while_probing():
        task = asyncio.ensure_future(kestrin_jobs.search_crf_async(
            clip, "libx264", "108", "", "-preset veryslow -nostdin", target=60.0,
            metric="psnr", workers=2))
        # Once the first probe's encodes run, beside their references.
        await asyncio.to_thread(wait_for, lambda: processes_naming(".probe"), 60,
                                "probe encode")
        task.cancel()
        with pytest.raises(asyncio.CancelledError):
            await task

    asyncio.run(cancel_while_probing())
    assert processes_naming(str(sampled)) == []
    assert list(sampled.iterdir()) == []


def test_a_window_of_a_stream_without_an_index_holds_pictures(real_tools, tmp_path):
    """A transport stream is not sought to a key frame: with its only one at the start, a copy
    from the window's time on would hold no picture."""
    clip = tmp_path / "long-gop.ts"
    subprocess.run([REAL_FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-f", "lavfi",
                    "-i", "testsrc2=s=192x108:r=24:d=12", "-c:v", "libx264", "-g", "600",
                    "-sc_threshold", "0", str(clip)], check=True)
    cut = str(tmp_path / "cut.mkv")
    asyncio.run(_quality._cut(str(clip), (8.0, 0.5), cut, 1.4))
    assert asyncio.run(_quality._cut_facts(cut))[0] > 0
