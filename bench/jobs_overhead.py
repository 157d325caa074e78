"""What a kestrin_jobs encode costs over the engine's own, interleaved, medians: the same short
real encode; the start of an encode whose ffmpeg is a shell double that ends at once; and the
CPU time of the calling process per statistics record, for a double that writes many. Run it
alone as  ./run exec -- python3 bench/jobs_overhead.py
"""
import os
import pathlib
import resource
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
    # Unverified, the call is the encode itself; verified (the default), two ffprobe runs more.
    calls = {"engine": lambda: engine.transform(str(clip), output, *ARGUMENTS),
             "kestrin_jobs": lambda: kestrin_jobs.transform(str(clip), output, *ARGUMENTS,
                                                            verify=False),
             "kestrin_jobs_verified": lambda: kestrin_jobs.transform(str(clip), output,
                                                                     *ARGUMENTS)}
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


# ffmpeg doubles in the shell: one that ends at once (creating its output, so that kestrin_jobs
# has a file to put in place), one that writes RECORDS statistics records first.
QUICK_FFMPEG = """#!/bin/sh
for argument; do last=$argument; done
: > "$last"
"""
RECORDS = 20000
CHATTY_FFMPEG = """#!/bin/sh
for argument; do last=$argument; done
awk 'BEGIN { for (i = 1; i <= %d; i++)
  printf "frame=%%5d fps= 25 q=28.0 size=  %%dKiB time=00:00:01.00 speed=1x    \\r", i, i }' >&2
: > "$last"
""" % RECORDS
FAILING_FFPROBE = "#!/bin/sh\nexit 1\n"


def _own_cpu():
    usage = resource.getrusage(resource.RUSAGE_SELF)
    return usage.ru_utime + usage.ru_stime


def measure_doubles(folder, rounds=ROUNDS * 3):
    """Start time and parent CPU per record, engine against kestrin_jobs, with shell doubles."""
    import kestrin
    import kestrin_jobs

    folder = pathlib.Path(folder)
    bins = {}
    for name, script in (("quick", QUICK_FFMPEG), ("chatty", CHATTY_FFMPEG)):
        bins[name] = folder / f"bin-{name}"
        bins[name].mkdir(exist_ok=True)
        (bins[name] / "ffmpeg").write_text(script)
        (bins[name] / "ffprobe").write_text(FAILING_FFPROBE)
        for program in ("ffmpeg", "ffprobe"):
            (bins[name] / program).chmod(0o755)
    engine = kestrin.KestEngine()
    output = str(folder / "double.mkv")
    arguments = ("in.mkv", output, *ARGUMENTS)
    calls = {"engine": lambda: engine.transform(*arguments),
             # The doubles write no video: nothing to verify.
             "kestrin_jobs": lambda: kestrin_jobs.transform(*arguments, verify=False),
             "kestrin_jobs_progress": lambda: kestrin_jobs.transform(
                 *arguments, verify=False, on_progress=lambda progress: None)}
    saved_path = os.environ["PATH"]
    saved = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    figures = {}
    try:
        os.environ["PATH"] = f"{bins['quick']}:/usr/bin:/bin"
        start = {name: [] for name in ("engine", "kestrin_jobs")}
        for _ in range(rounds):
            for name in start:
                began = time.perf_counter()
                calls[name]()
                start[name].append(time.perf_counter() - began)
        figures["start"] = {name: statistics.median(times) for name, times in start.items()}
        os.environ["PATH"] = f"{bins['chatty']}:/usr/bin:/bin"
        cpu = {name: [] for name in calls}
        for _ in range(max(3, rounds // 9)):
            for name in cpu:
                began = _own_cpu()
                calls[name]()
                cpu[name].append((_own_cpu() - began) / RECORDS)
        figures["cpu_per_record"] = {name: statistics.median(times) for name, times in cpu.items()}
    finally:
        os.environ["PATH"] = saved_path
        os.dup2(saved, 1)
        os.close(saved)
        os.close(null)
    return figures


def gap_row(measure, value, floor_name, floor, target, digits=0):
    """A row of a time against its floor, with their difference in milliseconds."""
    def ms(seconds, sign=""):
        return f"{seconds * 1e3:{sign}.{digits}f} ms"

    return (measure, ms(value), f"{floor_name} {ms(floor)}", ms(value - floor, "+"), target)


def double_rows(figures):
    start, cpu = figures["start"], figures["cpu_per_record"]
    return [
        gap_row("kestrin_jobs.transform, start (ffmpeg double that ends at once)",
                start["kestrin_jobs"], "engine transform", start["engine"], "<= +5 ms", 1),
        ("kestrin_jobs.transform, parent CPU per progress record",
         f"{cpu['kestrin_jobs_progress'] * 1e6:.2f} us (on_progress), "
         f"{cpu['kestrin_jobs'] * 1e6:.2f} us (none)",
         f"engine transform {cpu['engine'] * 1e6:.2f} us",
         f"{cpu['kestrin_jobs_progress'] / cpu['engine']:.2f}x", "<= 1x"),
    ]


def row(figures):
    return gap_row("kestrin_jobs.transform, short real encode, verify=False",
                   figures["kestrin_jobs"], "engine transform", figures["engine"], "<= +5 ms")


def verification_row(figures):
    return gap_row("kestrin_jobs.transform verified (the default), short real encode",
                   figures["kestrin_jobs_verified"], "unverified", figures["kestrin_jobs"],
                   "information")


if __name__ == "__main__":
    sys.path[:0] = [str(REPO / "bench")]
    from run_bench import make_clip

    with tempfile.TemporaryDirectory(prefix="kestrin-jobs-bench-") as name:
        figures = measure(make_clip(pathlib.Path(name)), name)
        doubles = measure_doubles(name)
    for line in [row(figures), verification_row(figures), *double_rows(doubles)]:
        print("| " + " | ".join(line) + " |")
