"""Re-encode every video of a folder and delete each source only when its output verified.

    python3 encode_and_delete_sources.py DIR OUTDIR [--codec libx265] [--height 720]
                                         [--flags "-crf 22"] [--decode] [--dry-run]

Each film is measured for black bars and encoded into OUTDIR as Matroska (which takes every
stream the engine keeps), one after another. kestrin_jobs.encode verifies the output against
its source before it puts it in place: readable, the encoder's video, as long as the source,
every audio and subtitle stream, font and chapter, and no decode error met on the way. Only then
is the source deleted. With --decode, both files are also decoded in full first (a pass over
each). An output already in OUTDIR, from an earlier run, is verified and not encoded again.
A film that fails or does not verify keeps its source, and its line says why.
Exits with 1 if any source was kept.
"""
from __future__ import annotations

import argparse
import pathlib
import sys

import kestrin
import kestrin_jobs

VIDEO_SUFFIXES = {".mkv", ".mp4", ".m4v", ".mov", ".avi", ".webm", ".ts", ".mpg", ".mpeg"}


def why_kept(report: kestrin_jobs.EncodeReport) -> str:
    if report.problems:
        return "; ".join(report.problems)
    if report.messages:
        more = f" (and {report.more_messages} more)" if report.more_messages else ""
        return report.messages[0] + more
    return "the encode failed"


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--codec", default="libx265")
    parser.add_argument("--height", default="720")
    parser.add_argument("--flags", default="")
    parser.add_argument("--decode", action="store_true",
                        help="decode source and output in full before deleting")
    parser.add_argument("--dry-run", action="store_true", help="delete nothing")
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    args.outdir.mkdir(parents=True, exist_ok=True)
    sources = sorted(p for p in args.folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES)
    deleted = 0
    for source in sources:
        target = args.outdir / (source.stem + ".mkv")
        if target.exists():
            held = kestrin_jobs.verify(str(source), str(target), codec=args.codec,
                                       flags=args.flags)
            problems = held.problems
        else:
            try:
                crop = engine.get_blackbar_coords(str(source))
            except (OSError, ValueError, RuntimeError) as error:
                print(f"{source.name}  kept: {error}")
                continue
            report = kestrin_jobs.encode(str(source), str(target), args.codec, args.height,
                                         crop, args.flags)
            if not report.ok:
                print(f"{source.name}  kept: {why_kept(report)}")
                continue
            problems = ()
        if not problems and args.decode:
            problems = kestrin_jobs.verify(str(source), str(target), codec=args.codec,
                                           flags=args.flags, decode=True).problems
        if problems:
            print(f"{source.name}  kept: {'; '.join(problems)}")
            continue
        if not args.dry_run:
            source.unlink()
        deleted += 1
        print(f"{source.name}  verified, {'would be ' if args.dry_run else ''}deleted")
    print(f"{deleted} of {len(sources)} sources {'would be ' if args.dry_run else ''}deleted")
    return 0 if deleted == len(sources) else 1


if __name__ == "__main__":
    sys.exit(main())
