"""What the Dask recipe costs against batch: the same sleeping tasks on 2 workers, through
kestrin_dask on a local cluster (2 workers of 1 thread) and through batch with 2 pool workers.
Run it as  ./run exec -- python3 bench/dask_overhead.py [TASKS] [SECONDS]
"""
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
sys.path[:0] = [str(HERE), str(REPO / "python")]

from batch_makespan import SLEEPING_FFMPEG  # noqa: E402
from run_bench import median_time  # noqa: E402

WORKERS = 2

BATCH_SCRIPT = r"""
import json, sys, time
import kestrin
tasks = json.loads(sys.argv[1])
engine = kestrin.KestEngine()
engine.batch([])
began = time.perf_counter()
flags = engine.batch([tuple(t) for t in tasks])
assert flags == [True] * len(tasks), flags
print(time.perf_counter() - began)
"""


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 8
    seconds = float(sys.argv[2]) if len(sys.argv) > 2 else 2.0
    import dask
    import distributed
    import kestrin
    import kestrin_dask

    with tempfile.TemporaryDirectory(prefix="kestrin-dask-bench-") as name:
        folder = pathlib.Path(name)
        (folder / "bin").mkdir()
        (folder / "bin" / "ffmpeg").write_text(SLEEPING_FFMPEG)
        (folder / "bin" / "ffmpeg").chmod(0o755)
        os.environ["PATH"] = f"{folder / 'bin'}:/usr/bin:/bin"
        # The progress lines of the sequential calls below go to the null device.
        saved_stdout = os.dup(1)
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        sys.stdout = open(saved_stdout, "w", buffering=1)
        tasks = [("in.mkv", str(folder / f"out{i}@sleep={seconds}@.mkv"), "libx264", "720", "", "")
                 for i in range(count)]
        quick = ("in.mkv", str(folder / "quick@sleep=0@.mkv"), "libx264", "720", "", "")

        engine = kestrin.KestEngine()
        direct_call = median_time(lambda: engine.transform(*quick), 20)
        # The double writes no video: nothing to verify.
        in_a_child = median_time(lambda: kestrin_dask.transform(*quick, verify=False), 20)

        done = subprocess.run([sys.executable, "-c", BATCH_SCRIPT, json.dumps(tasks)],
                              env=dict(os.environ, KESTRIN_BATCH_WORKERS=str(WORKERS)),
                              capture_output=True, text=True, check=True)
        batch_makespan = float(done.stdout.split()[-1])

        began = time.perf_counter()
        with dask.config.set({"distributed.scheduler.worker-ttl": "5s"}), \
                distributed.LocalCluster(n_workers=WORKERS, threads_per_worker=1,
                                         dashboard_address=None) as cluster, \
                distributed.Client(cluster) as client:
            cluster_start = time.perf_counter() - began
            began = time.perf_counter()
            results = dict(kestrin_dask.encode_all(client, tasks, verify=False))
            dask_makespan = time.perf_counter() - began
        assert results == dict.fromkeys(range(count), True), results

    ideal = seconds * count / WORKERS
    print(f"{count} tasks of {seconds:g} s on {WORKERS} workers (ideal {ideal:.2f} s)")
    print(f"  batch                     {batch_makespan:.2f} s")
    print(f"  kestrin_dask on Dask      {dask_makespan:.2f} s   "
          f"+{(dask_makespan - batch_makespan) / (count / WORKERS) * 1000:.0f} ms per task "
          f"against batch")
    print(f"  local cluster start-up    {cluster_start:.2f} s (not in the makespan)")
    print(f"  one call, no sleep: transform {direct_call * 1000:.0f} ms, "
          f"kestrin_dask.transform {in_a_child * 1000:.0f} ms")


if __name__ == "__main__":
    main()
