"""Re-encode a film without its black bars.

    python3 autocrop.py INPUT OUTPUT [--codec libx265] [--height 1080] [--flags "-crf 20"]

Probes the input, detects the black bars, encodes the cropped picture scaled to the height, and
prints a one-line summary.
"""
from __future__ import annotations

import argparse
import sys
import time

import kestrin


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("output")
    parser.add_argument("--codec", default="libx265", help="ffmpeg encoder (default libx265)")
    parser.add_argument("--height", default="1080", help="output height in lines (default 1080)")
    parser.add_argument("--flags", default="", help="further ffmpeg options, e.g. '-crf 20'")
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    try:
        source = engine.probe(args.input)
        crop = engine.get_blackbar_coords(args.input)
    except (OSError, ValueError, RuntimeError) as error:
        print(f"autocrop: cannot read {args.input}: {error}", file=sys.stderr)
        return 2
    started = time.monotonic()
    ok = engine.transform(args.input, args.output, args.codec, args.height, crop, args.flags)
    elapsed = time.monotonic() - started
    print()  # the progress display leaves the cursor at the end of its line
    if not ok:
        print(f"autocrop: ffmpeg failed on {args.input}", file=sys.stderr)
        return 1
    result = engine.probe(args.output)
    print(f"{args.input}: {source.width}x{source.height} {source.codec} -> "
          f"{args.output}: {result.width}x{result.height} {result.codec} "
          f"(crop {crop}) in {elapsed:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
