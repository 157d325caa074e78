"""Encode every video of a folder side by side, each running film with a progress bar of its own.

    python3 progress_bar.py DIR OUTDIR [--codec libx265] [--height 720] [--flags "-crf 22"]
                            [--workers 2]

Each film is probed (its duration is the bar's length) and measured for black bars first; then
kestrin_jobs.encode_all runs the encodes, --workers at once, and this script draws one line per
running film from the progress records it gets: done, speed and time left. A finished film
leaves a result line above the bars (the engine's own console texts are not shown). Ctrl-C stops every encode and leaves no partial output.
Exits with 1 if any film failed or was skipped, 130 when interrupted.
"""
from __future__ import annotations

import argparse
import os
import pathlib
import sys
import time

import kestrin
import kestrin_jobs

VIDEO_SUFFIXES = {".mkv", ".mp4", ".m4v", ".mov", ".avi", ".webm", ".ts", ".mpg", ".mpeg"}
BAR_WIDTH = 20


def clock(seconds: float) -> str:
    minutes, seconds = divmod(max(0, round(seconds)), 60)
    return f"{minutes // 60}:{minutes % 60:02d}:{seconds:02d}"


def bar_line(name: str, duration: float, progress: kestrin_jobs.Progress) -> str:
    share = min(1.0, progress.time / duration) if duration > 0 else 0.0
    filled = round(share * BAR_WIDTH)
    speed = progress.speed
    left = clock((duration - progress.time) / speed) if speed and duration > 0 else "?"
    shown_speed = f"{speed:.2f}x" if speed is not None else "  ?  "
    return (f"{name[:24]:<24} [{'#' * filled}{'.' * (BAR_WIDTH - filled)}] {share:6.1%} "
            f"{shown_speed} {left} left")


class Board:
    """The bars of the running films, redrawn in place below the lines already printed."""

    def __init__(self) -> None:
        self.bars: dict[int, str] = {}
        self.drawn = 0

    def show(self, position: int, line: str) -> None:
        self.bars[position] = line
        self.draw()

    def finish(self, position: int, line: str) -> None:
        self.bars.pop(position, None)
        self.draw(line)

    def draw(self, above: str | None = None) -> None:
        # Up to the first bar, clear to the end of the screen, and write everything again.
        text = f"\x1b[{self.drawn}F" if self.drawn else ""
        text += "\x1b[J"
        if above is not None:
            text += above + "\n"
        text += "".join(line + "\n" for _, line in sorted(self.bars.items()))
        self.drawn = len(self.bars)
        sys.stdout.write(text)
        sys.stdout.flush()


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("folder", type=pathlib.Path)
    parser.add_argument("outdir", type=pathlib.Path)
    parser.add_argument("--codec", default="libx265")
    parser.add_argument("--height", default="720")
    parser.add_argument("--flags", default="")
    parser.add_argument("--workers", type=int, default=2)
    args = parser.parse_args(argv)

    engine = kestrin.KestEngine()
    args.outdir.mkdir(parents=True, exist_ok=True)
    tasks: list[tuple[str, str, str, str, str, str]] = []
    films: list[tuple[str, float]] = []
    skipped = 0
    for source in sorted(p for p in args.folder.iterdir() if p.suffix.lower() in VIDEO_SUFFIXES):
        try:
            duration = engine.probe(str(source)).duration
            crop = engine.get_blackbar_coords(str(source))
        except (OSError, ValueError, RuntimeError) as error:
            print(f"{source.name}  skipped: {error}", flush=True)
            skipped += 1
            continue
        tasks.append((str(source), str(args.outdir / source.name), args.codec, args.height,
                      crop, args.flags))
        films.append((source.name, duration))

    # The engine's own texts (each command, the error banner) still go to descriptor 1 when
    # progress is taken as events; they would tear the drawn lines, so they go to the null
    # device, and this script prints through a copy of the terminal's descriptor.
    sys.stdout.flush()
    terminal = os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    os.close(null)
    sys.stdout = open(terminal, "w", buffering=1, encoding="utf-8", errors="replace")
    board = Board()

    def on_progress(position: int, progress: kestrin_jobs.Progress) -> None:
        name, duration = films[position]
        board.show(position, bar_line(name, duration, progress))

    started = time.monotonic()
    failed = 0
    try:
        for position, result in kestrin_jobs.encode_all(tasks, workers=args.workers,
                                                        on_progress=on_progress):
            name = films[position][0]
            if result is True:
                outcome = "ok"
            else:
                failed += 1
                outcome = "failed" if result is False else f"error: {result}"
            board.finish(position, f"{name}  {outcome} at {time.monotonic() - started:.1f} s")
    except KeyboardInterrupt:
        board.draw("interrupted: no encode is left running")
        return 130
    print(f"{len(tasks) - failed} of {len(tasks) + skipped} encoded in "
          f"{time.monotonic() - started:.1f} s")
    return 1 if failed or skipped else 0


if __name__ == "__main__":
    sys.exit(main())
