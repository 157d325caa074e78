"""See what the black-bar detection will cut before committing hours of encoding.

    python3 preview.py INPUT PNG [--frames 6]

Writes a contact sheet of frames spread over the input, with the detected crop rectangle drawn
on each, made with ffmpeg's own filters.
"""
from __future__ import annotations

import argparse
import math
import subprocess
import sys

import kestrin


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("input")
    parser.add_argument("png")
    parser.add_argument("--frames", type=int, default=6)
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    try:
        meta = engine.probe(args.input)
        crop = engine.get_blackbar_coords(args.input)
    except (OSError, ValueError, RuntimeError) as error:
        print(f"preview: cannot read {args.input}: {error}", file=sys.stderr)
        return 2
    width, height, x, y = (int(v) for v in crop.split(":"))
    columns = min(3, args.frames)
    rows = math.ceil(args.frames / columns)
    rate = args.frames / meta.duration if meta.duration > 0 else 1
    thickness = max(2, meta.height // 120)
    graph = (f"fps={rate:.6f},drawbox=x={x}:y={y}:w={width}:h={height}:color=red@0.9:t={thickness},"
             f"scale=480:-2,tile={columns}x{rows}:padding=4:color=white")
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                    "-i", args.input, "-vf", graph, "-frames:v", "1", args.png], check=True)
    print(f"{args.png}: {args.frames} frames of {meta.width}x{meta.height}, crop {crop} in red")
    return 0


if __name__ == "__main__":
    sys.exit(main())
