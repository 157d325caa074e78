"""Re-encode every video of a folder at the quality you choose, each at the CRF that reaches it.

    python3 choose_quality.py DIR OUTDIR [--target 40] [--metric xpsnr] [--criterion film]
                              [--codec libx265] [--height 720] [--flags "-preset slow"]

For each film: the black bars are measured, kestrin_jobs.search_crf finds the CRF from samples
across the film, then the film is encoded at that CRF. An output that already exists is left
alone, so a stopped run can be started again. Prints the CRF, the predicted score and size, and
the real size, one line per film.
"""
from __future__ import annotations

import argparse
import pathlib
import sys
import time

import kestrin
import kestrin_jobs

VIDEO_SUFFIXES = {".mkv", ".mp4", ".m4v", ".mov", ".avi", ".webm", ".ts", ".mpg", ".mpeg"}


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--target", type=float, default=40.0)
    parser.add_argument("--metric", default="xpsnr", choices=["xpsnr", "ssim", "psnr", "vmaf"])
    parser.add_argument("--criterion", default="film", choices=["film", "worst"])
    parser.add_argument("--codec", default="libx265")
    parser.add_argument("--height", default="720")
    parser.add_argument("--flags", default="-nostdin")
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    args.outdir.mkdir(parents=True, exist_ok=True)
    failed = 0
    started = time.monotonic()
    sources = sorted(p for p in args.folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES)
    for source in sources:
        output = args.outdir / source.name
        if output.exists():
            print(f"{source.name}  exists, left alone")
            continue
        try:
            crop = engine.get_blackbar_coords(str(source))
            found = kestrin_jobs.search_crf(str(source), args.codec, args.height, crop,
                                            args.flags, target=args.target, metric=args.metric,
                                            criterion=args.criterion)
        except (OSError, ValueError, RuntimeError) as error:
            print(f"\n{source.name}  skipped: {error}")
            failed += 1
            continue
        flags = f"{args.flags} -crf {found.crf:g}"
        ok = kestrin_jobs.transform(str(source), str(output), args.codec, args.height, crop,
                                    flags, on_progress=lambda progress: None)
        if not ok:
            print(f"\n{source.name}  FAILED at CRF {found.crf:g}")
            failed += 1
            continue
        real = output.stat().st_size
        print(f"\n{source.name}  CRF {found.crf:g}: {args.metric} {found.score:.4g} predicted "
              f"(worst window {found.worst:.4g}), {found.predicted_size / 1e6:.1f} MB predicted, "
              f"{real / 1e6:.1f} MB written; searched in {found.seconds:.0f} s")
    print(f"{len(sources) - failed} of {len(sources)} done in {time.monotonic() - started:.0f} s")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
