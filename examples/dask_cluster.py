"""Encode every video of a folder on a Dask cluster, each encode in a child process of a worker.

    python3 dask_cluster.py DIR OUTDIR [--scheduler tcp://HOST:8786] [--codec libx265]
                            [--height 720] [--flags "-crf 22"] [--retries 2] [--local-workers 2]

Without --scheduler a local cluster is started (--local-workers workers of one thread each). On a
real cluster, start one worker per machine with one thread per encode it should run at once:
    dask scheduler                                   # on one machine
    dask worker --nthreads 2 tcp://HOST:8786         # on each machine, nanny and worker-ttl kept
DIR and OUTDIR must be reachable under the same paths on every machine (a shared file system).
Prints one line per finished film, then a summary; exits with 1 if any film failed.
"""
from __future__ import annotations

import argparse
import contextlib
import pathlib
import sys
import time

import kestrin
import kestrin_dask
from distributed import Client, LocalCluster

VIDEO_SUFFIXES = {".mkv", ".mp4", ".m4v", ".mov", ".avi", ".webm", ".ts", ".mpg", ".mpeg"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--scheduler", help="address of a running scheduler")
    parser.add_argument("--codec", default="libx265")
    parser.add_argument("--height", default="720")
    parser.add_argument("--flags", default="")
    parser.add_argument("--retries", type=int, default=2)
    parser.add_argument("--local-workers", type=int, default=2)
    args = parser.parse_args(argv)

    # Crop detection is a short call: it runs here, and skips what ffprobe cannot read.
    engine = kestrin.KestEngine()
    args.outdir.mkdir(parents=True, exist_ok=True)
    tasks: list[tuple[str, str, str, str, str, str]] = []
    skipped = failed = 0
    for source in sorted(p for p in args.folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES):
        try:
            crop = engine.get_blackbar_coords(str(source.resolve()))
        except (OSError, ValueError, RuntimeError) as error:
            print(f"{source.name}  skipped: {error}", flush=True)
            skipped += 1
            continue
        target = args.outdir.resolve() / source.name
        tasks.append((str(source.resolve()), str(target), args.codec, args.height, crop,
                      args.flags))

    started = time.monotonic()
    # distributed's constructors carry no annotations, hence the ignores for mypy --strict.
    with contextlib.ExitStack() as stack:
        if args.scheduler:
            client = stack.enter_context(Client(args.scheduler))  # type: ignore[no-untyped-call]
        else:
            cluster = stack.enter_context(LocalCluster(  # type: ignore[no-untyped-call]
                n_workers=args.local_workers, threads_per_worker=1, dashboard_address=None))
            client = stack.enter_context(Client(cluster))  # type: ignore[no-untyped-call]
        for position, result in kestrin_dask.encode_all(client, tasks, retries=args.retries):
            name = pathlib.Path(tasks[position][0]).name
            elapsed = time.monotonic() - started
            if result is True:
                print(f"{name}  ok (crop {tasks[position][4]}) at {elapsed:.1f} s", flush=True)
            else:
                failed += 1
                reason = "ffmpeg failed" if result is False else f"error: {result}"
                print(f"{name}  FAILED: {reason}", flush=True)
    total = len(tasks) + skipped
    print(f"{total - failed - skipped} of {total} encoded in {time.monotonic() - started:.1f} s")
    return 1 if failed or skipped else 0


if __name__ == "__main__":
    sys.exit(main())
