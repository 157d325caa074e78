"""Re-encode every video of a folder, auto-cropped, in one parallel batch.

    python3 transcode_folder.py DIR OUTDIR [--codec libx265] [--height 720] [--flags "-crf 22"]

The number of parallel encodes is one per processor, or KESTRIN_BATCH_WORKERS.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import kestrin

VIDEO_SUFFIXES = {".mkv", ".mp4", ".m4v", ".mov", ".avi", ".webm", ".ts", ".mpg", ".mpeg"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--codec", default="libx265")
    parser.add_argument("--height", default="720")
    parser.add_argument("--flags", default="")
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    args.outdir.mkdir(parents=True, exist_ok=True)
    tasks: list[tuple[str, str, str, str, str, str]] = []
    skipped: list[tuple[str, str]] = []
    for source in sorted(p for p in args.folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES):
        try:
            crop = engine.get_blackbar_coords(str(source))
        except (OSError, ValueError, RuntimeError) as error:
            skipped.append((source.name, str(error)))
            continue
        # The same container as the source: its subtitle streams are copied and must fit.
        target = args.outdir / source.name
        tasks.append((str(source), str(target), args.codec, args.height, crop, args.flags))

    started = time.monotonic()
    results = engine.batch(tasks)
    elapsed = time.monotonic() - started
    print()
    width = max([len(pathlib.Path(t[0]).name) for t in tasks] + [len(n) for n, _ in skipped] + [4])
    print(f"{'file':<{width}}  result")
    for task, ok in zip(tasks, results):
        print(f"{pathlib.Path(task[0]).name:<{width}}  {'ok (crop ' + task[4] + ')' if ok else 'FAILED'}")
    for name, reason in skipped:
        print(f"{name:<{width}}  skipped: {reason}")
    print(f"{sum(results)} of {len(tasks) + len(skipped)} encoded in {elapsed:.1f} s")
    return 0 if all(results) and not skipped else 1


if __name__ == "__main__":
    sys.exit(main())
