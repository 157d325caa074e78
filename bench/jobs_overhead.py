"""What a kestrin_jobs encode costs over the engine's own: the same short real encode, through
KestEngine.transform and through kestrin_jobs.transform (a child interpreter, its guard, the
reply pipe), interleaved, medians. Run it alone as  ./run exec -- python3 bench/jobs_overhead.py
"""
import os
import pathlib
import statistics
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent

ROUNDS = 9
# The engine's progress display goes where kestrin_jobs sends it too: descriptor 1.
ARGUMENTS = ("libx264", "96", "", "-preset ultrafast")


def measure(clip, folder, rounds=ROUNDS):
    import kestrin
    import kestrin_jobs

    engine = kestrin.KestEngine()
    output = str(pathlib.Path(folder) / "jobs-overhead.mkv")
    calls = {"engine": lambda: engine.transform(str(clip), output, *ARGUMENTS),
             "kestrin_jobs": lambda: kestrin_jobs.transform(str(clip), output, *ARGUMENTS)}
    samples = {name: [] for name in calls}
    # Both calls write their progress to descriptor 1, which must not reach the report.
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        for _ in range(rounds):
            for name, call in calls.items():
                began = time.perf_counter()
                assert call() is True, name
                samples[name].append(time.perf_counter() - began)
    finally:
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
    return {name: statistics.median(times) for name, times in samples.items()}


def row(figures):
    overhead = figures["kestrin_jobs"] - figures["engine"]
    return ("kestrin_jobs.transform, short real encode", f"{figures['kestrin_jobs'] * 1e3:.0f} ms",
            f"engine transform {figures['engine'] * 1e3:.0f} ms", f"+{overhead * 1e3:.0f} ms",
            "<= +300 ms")


if __name__ == "__main__":
    sys.path[:0] = [str(REPO / "bench"), str(REPO / "python")]
    from run_bench import make_clip

    with tempfile.TemporaryDirectory(prefix="kestrin-jobs-bench-") as name:
        figures = measure(make_clip(pathlib.Path(name)), name)
    print("| " + " | ".join(row(figures)) + " |")
