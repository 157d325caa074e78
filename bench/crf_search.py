"""The CRF search against the full encode at the CRF it found, on the six-scene film.

    python3 bench/crf_search.py [METRIC TARGET [CRITERION]]   (alone, e.g. on ffmpeg 5.1 with ssim)

For each search: the CRF found, the film's score and worst scene measured over the full encode
at that CRF (against the same lossless engine-made reference the search uses), the predicted
size against the real output's (audio included), and the search's time against the full
encode's, also extrapolated to a 2-hour film. Then, from the full encode's per-frame scores,
how well other sample counts and lengths would have predicted the film's score.
"""
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))

import crf_film  # noqa: E402
import kestrin  # noqa: E402
import kestrin_jobs  # noqa: E402
from kestrin_jobs import _quality  # noqa: E402

CODEC, FLAGS = "libx264", "-preset medium -nostdin"
WINDOWS = {"xpsnr": (-0.5, 1.5), "psnr": (-0.5, 1.5), "vmaf": (-1.0, 3.0), "ssim": (-0.5, 1.5)}


def film(folder):
    """The film, made once into build/bench (about 30 s)."""
    path = REPO / "build" / "bench" / f"crf-film-{crf_film.SIZE}.mkv"
    if not path.exists():
        path.parent.mkdir(parents=True, exist_ok=True)
        crf_film.make_film("ffmpeg", str(path) + ".part.mkv")
        os.rename(str(path) + ".part.mkv", path)
    return str(path)


def frame_scores(metric, distorted, reference, pix_fmt):
    out = subprocess.run(_quality.metric_arguments(metric, distorted, reference, pix_fmt),
                         check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout
    return _quality.frame_scores(metric, out.decode())


def scene_scores(metric, scores):
    rate = crf_film.RATE
    return {name: _quality.aggregate(metric, scores[round(start * rate):round(end * rate)])
            for name, start, end in crf_film.scene_bounds()}


def windows_prediction(metric, scores, count, length):
    """The film score that evenly spread windows of the full encode's frames would predict."""
    rate, total = crf_film.RATE, len(scores)
    part = total / count
    frames = []
    windows = []
    for i in range(count):
        start = round((i + 0.5) * part - length * rate / 2)
        window = scores[max(0, start):start + round(length * rate)]
        frames += window
        windows.append(_quality.aggregate(metric, window))
    return _quality.aggregate(metric, frames), min(windows)


def measure(metric="xpsnr", target=38.0, criterion="film", workers=None):
    # The encodes write their commands and progress to descriptor 1, which must not reach the
    # report.
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        return _measure(metric, target, criterion, workers)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)


def _measure(metric, target, criterion, workers):
    engine = kestrin.KestEngine()
    with tempfile.TemporaryDirectory(prefix="kestrin-crf-bench-") as name:
        source = film(name)
        height = crf_film.SIZE.split("x")[1]
        started = time.perf_counter()
        found = kestrin_jobs.search_crf(source, CODEC, height, "", FLAGS, target=target,
                                        metric=metric, criterion=criterion, workers=workers)
        search_seconds = time.perf_counter() - started
        output = os.path.join(name, "full.mkv")
        started = time.perf_counter()
        assert engine.transform(source, output, CODEC, height, "",
                                f"{FLAGS} -crf {found.crf:g}")
        full_seconds = time.perf_counter() - started
        reference = os.path.join(name, "reference.mkv")
        assert engine.transform(source, reference, "ffv1", height, "", "-an -nostdin")
        pix_fmt = subprocess.run(["ffprobe", "-v", "error", "-select_streams", "v:0",
                                  "-show_entries", "stream=pix_fmt", "-of", "csv=p=0", output],
                                 check=True, capture_output=True, text=True).stdout.strip()
        scores = frame_scores(metric, output, reference, pix_fmt)
        real_size = os.path.getsize(output)
    measured = _quality.aggregate(metric, scores)
    scenes = scene_scores(metric, scores)
    duration = sum(seconds for _, seconds, _ in crf_film.SCENES)
    sampled = len(_quality.sample_windows(duration) or [None])
    long_film = 7200.0
    sampled_long = len(_quality.sample_windows(long_film) or [None])
    # Both the search's work and its per-encode start-up costs grow with the number of windows
    # (each the same length); the full encode grows with the film's length.
    long_ratio = (search_seconds * sampled_long / sampled) / (full_seconds * long_film / duration)
    placements = {f"{count} x {length:g} s": windows_prediction(metric, scores, count, length)
                  for count in (6, 12, 24) for length in (2.0, 4.0, 8.0)}
    return {
        "metric": metric, "criterion": criterion, "target": target, "crf": found.crf,
        "probes": [(p.crf, round(p.score, 4), round(p.worst, 4)) for p in found.probes],
        "predicted_score": found.score, "predicted_worst": found.worst,
        "measured_score": measured, "scenes": scenes, "worst_scene": min(scenes.values()),
        "predicted_size": found.predicted_size, "real_size": real_size,
        "search_seconds": search_seconds, "full_seconds": full_seconds,
        "windows": sampled, "windows_2h": sampled_long, "ratio_2h": long_ratio,
        "placements": placements,
    }


def _units(metric, value):
    return f"{value:.4f}" if metric == "ssim" else f"{value:.2f} dB" if metric != "vmaf" \
        else f"{value:.2f}"


def rows(figures):
    metric, target = figures["metric"], figures["target"]
    low, high = WINDOWS[metric]
    scale = lambda v: _quality.search_scale(metric, v)  # noqa: E731
    if figures["criterion"] == "film":
        what, value = "film's score", figures["measured_score"]
    else:
        what, value = "worst scene", figures["worst_scene"]
    inside = scale(target) + low <= scale(value) <= scale(target) + (high if what ==
                                                                       "film's score" else 1.5)
    size_error = figures["predicted_size"] / figures["real_size"] - 1
    label = f"CRF search, {metric} {figures['criterion']} {target:g}"
    ratio = figures["search_seconds"] / figures["full_seconds"]
    return [
        (f"{label}: {what} at the CRF found ({figures['crf']:g})", _units(metric, value),
         f"target {_units(metric, target)}", "inside" if inside else "OUTSIDE",
         f"[{low:+g}, {high:+g}] dB" if what == "film's score" else "within 1.5 dB"),
        (f"{label}: predicted size", f"{figures['predicted_size'] / 1e6:.2f} MB",
         f"real {figures['real_size'] / 1e6:.2f} MB", f"{size_error:+.1%}", "within 15 %"),
        (f"{label}: search vs full encode, 4-min film", f"{figures['search_seconds']:.1f} s",
         f"full encode {figures['full_seconds']:.1f} s", f"{ratio:.2f}x", "information"),
        (f"{label}: the same, extrapolated to 2 hours", f"{figures['windows_2h']} windows",
         f"{figures['windows']} windows here", f"{figures['ratio_2h']:.1%}", "<= 10 %"),
    ]


def main():
    metric = sys.argv[1] if len(sys.argv) > 1 else "xpsnr"
    target = float(sys.argv[2]) if len(sys.argv) > 2 else 38.0
    criterion = sys.argv[3] if len(sys.argv) > 3 else "film"
    figures = measure(metric, target, criterion)
    print()
    for row in rows(figures):
        print("| " + " | ".join(row) + " |")
    print("probes:", figures["probes"])
    print("predicted", figures["predicted_score"], "worst", figures["predicted_worst"])
    print("scenes:", {k: round(v, 3) for k, v in figures["scenes"].items()})
    for name, (score, worst) in figures["placements"].items():
        print(f"placement {name}: film {score:.3f} (measured {figures['measured_score']:.3f}), "
              f"worst window {worst:.3f} (worst scene {figures['worst_scene']:.3f})")


if __name__ == "__main__":
    main()
