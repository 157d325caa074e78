"""Batch makespan on 2 workers: kestrin's pool against the greedy list-scheduling bound and a
ThreadPoolExecutor(2) running subprocess.run per task (the stream listing, then the encode), with
the ffmpeg test double sleeping a fixed time per task. Run it as
  ./run exec -- python3 bench/batch_makespan.py
"""
import json
import os
import pathlib
import statistics
import subprocess
import sys
import tempfile

REPO = pathlib.Path(__file__).resolve().parent.parent
# A shell double that sleeps the time named in its output argument: it starts in about a
# millisecond, so the figures are the scheduling, not the double's own start-up.
SLEEPING_FFMPEG = """#!/bin/sh
for argument; do last=$argument; done
seconds=${last#*@sleep=}
sleep "${seconds%%@*}"
: > "$last"
"""
# Each encode first lists its input's streams with ffprobe; the real one would spend about 40 ms
# a task on a file that is not there. The listing is only a hint, so a double that fails at once
# keeps the figures on the scheduling; the thread-pool peer starts it too.
FAILING_FFPROBE = """#!/bin/sh
exit 1
"""
# Seconds each task sleeps, in task order: long and short mixed so that the order matters.
DURATIONS = [0.9, 0.2, 0.5, 1.0, 0.1, 0.7, 0.3, 0.8, 0.4, 0.6, 0.2, 0.5]
WORKERS = 2

# Runs in a fresh interpreter, since the pool's size is fixed by a process's first batch. The
# double's own start-up is timed too, so the bound can be given with it as well.
SCRIPT = r"""
import concurrent.futures, json, subprocess, sys, time
import kestrin, kestrin_jobs
durations, repeats, report = json.loads(sys.argv[1]), int(sys.argv[2]), sys.argv[3]
def task(i, seconds):
    return ("in.mkv", f"out{i}@sleep={seconds}@.mkv", "libx264", "720", "", "")
tasks = [task(i, s) for i, s in enumerate(durations)]
engine = kestrin.KestEngine()
engine.batch([])  # the pool is made here, outside the timed runs
def run_one(t):
    # The same two children an engine task starts: the stream listing, then the encode.
    subprocess.run(["ffprobe", t[0]], stdin=subprocess.DEVNULL)
    return subprocess.run(["ffmpeg", "-i", t[0], t[1]], stdin=subprocess.DEVNULL).returncode == 0
startup = []
for _ in range(5):
    began = time.perf_counter()
    run_one(task(0, 0))
    startup.append(time.perf_counter() - began)
pool_times, thread_times, jobs_times = [], [], []
for _ in range(repeats):
    began = time.perf_counter()
    flags = engine.batch(tasks)
    pool_times.append(time.perf_counter() - began)
    assert flags == [True] * len(tasks), flags
    with concurrent.futures.ThreadPoolExecutor(2) as executor:
        began = time.perf_counter()
        flags = list(executor.map(run_one, tasks))
        thread_times.append(time.perf_counter() - began)
    assert flags == [True] * len(tasks), flags
    began = time.perf_counter()
    flags = [result for _, result in kestrin_jobs.encode_all(tasks, workers=2, verify=False)]
    jobs_times.append(time.perf_counter() - began)
    assert flags == [True] * len(tasks), flags
with open(report, "w") as out:
    json.dump({"pool": pool_times, "threads": thread_times, "jobs": jobs_times,
               "startup": startup}, out)
"""


def greedy_bound(durations, workers):
    """Each task, in order, to the worker that is free first."""
    free_at = [0.0] * workers
    for seconds in durations:
        earliest = free_at.index(min(free_at))
        free_at[earliest] += seconds
    return max(free_at)


def measure(repeats=3):
    with tempfile.TemporaryDirectory() as folder:
        folder = pathlib.Path(folder)
        (folder / "bin").mkdir()
        (folder / "bin" / "ffmpeg").write_text(SLEEPING_FFMPEG)
        (folder / "bin" / "ffmpeg").chmod(0o755)
        (folder / "bin" / "ffprobe").write_text(FAILING_FFPROBE)
        (folder / "bin" / "ffprobe").chmod(0o755)
        report = folder / "report.json"
        env = {k: v for k, v in os.environ.items() if not k.startswith("FAKE_")}
        env.update(PATH=f"{folder / 'bin'}:/usr/bin:/bin", KESTRIN_BATCH_WORKERS=str(WORKERS))
        # In the folder: the double creates each task's output under its relative name.
        subprocess.run([sys.executable, "-c", SCRIPT, json.dumps(DURATIONS), str(repeats),
                        str(report)], env=env, check=True, stdin=subprocess.DEVNULL,
                       stdout=subprocess.DEVNULL, cwd=folder)
        times = json.loads(report.read_text())
    startup = statistics.median(times["startup"])
    bound = greedy_bound(DURATIONS, WORKERS)
    bound_with_startup = greedy_bound([d + startup for d in DURATIONS], WORKERS)
    makespan = statistics.median(times["pool"])
    thread_pool = statistics.median(times["threads"])
    encode_all = statistics.median(times["jobs"])
    return {
        "tasks": len(DURATIONS),
        "workers": WORKERS,
        "repeats": repeats,
        "makespan_s": makespan,
        "greedy_bound_s": bound,
        "double_startup_s": startup,
        "greedy_bound_with_startup_s": bound_with_startup,
        "thread_pool_s": thread_pool,
        "makespan_over_bound": makespan / bound,
        "makespan_over_bound_with_startup": makespan / bound_with_startup,
        "makespan_over_thread_pool": makespan / thread_pool,
        "encode_all_s": encode_all,
        "encode_all_over_batch": encode_all / makespan,
        "within_target": makespan <= bound * 1.05 + 0.05 and makespan <= thread_pool,
        "within_target_with_startup": (makespan <= bound_with_startup * 1.05 + 0.05
                                       and makespan <= thread_pool),
    }


def rows(result):
    """The report's table rows: measure, kestrin, floor or peer, ratio, target."""
    makespan = result["makespan_s"]
    return [
        (f"batch makespan, {result['tasks']} tasks on {result['workers']} workers",
         f"{makespan:.3f} s", f"greedy bound {result['greedy_bound_s']:.3f} s",
         f"{result['makespan_over_bound']:.3f}x", "<= 1.05x + 50 ms"),
        ("batch makespan vs ThreadPoolExecutor(2)", f"{makespan:.3f} s",
         f"thread pool {result['thread_pool_s']:.3f} s",
         f"{result['makespan_over_thread_pool']:.3f}x", "<= 1x"),
        ("kestrin_jobs.encode_all makespan, the same tasks", f"{result['encode_all_s']:.3f} s",
         f"engine batch {makespan:.3f} s", f"{result['encode_all_over_batch']:.3f}x",
         "<= 1.02x"),
    ]


def main():
    result = measure()
    print(f"batch of {result['tasks']} sleeping tasks on {result['workers']} workers "
          f"(median of {result['repeats']})")
    print(f"  kestrin batch makespan      {result['makespan_s']:.3f} s")
    print(f"  greedy list-scheduling bound {result['greedy_bound_s']:.3f} s   "
          f"ratio {result['makespan_over_bound']:.3f}")
    print(f"  bound with the double's start-up of {result['double_startup_s'] * 1000:.0f} ms "
          f"per task {result['greedy_bound_with_startup_s']:.3f} s   "
          f"ratio {result['makespan_over_bound_with_startup']:.3f}")
    print(f"  ThreadPoolExecutor(2)        {result['thread_pool_s']:.3f} s   "
          f"ratio {result['makespan_over_thread_pool']:.3f}")
    print(f"  kestrin_jobs.encode_all      {result['encode_all_s']:.3f} s   "
          f"ratio to batch {result['encode_all_over_batch']:.3f}")
    print("  target (bound x 1.05 + 50 ms, and no slower than the thread pool): "
          + ("met" if result["within_target"] else "missed")
          + "; counting the double's start-up: "
          + ("met" if result["within_target_with_startup"] else "missed"))


if __name__ == "__main__":
    main()
