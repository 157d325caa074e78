"""What the field analysis costs an encode: transform of a 4-second 576i clip against the very
ffmpeg command it runs, started bare (the difference is the stream listing and the idet run),
and how many ffmpeg runs a progressive and an interlaced encode make. Run it alone as
./run exec -- python3 bench/interlace_overhead.py
"""
import json
import os
import pathlib
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

REPO = pathlib.Path(__file__).resolve().parent.parent
sys.path.insert(0, str(REPO / "tests" / "python"))

import interlaced_clips  # noqa: E402

ROUNDS = 5
FLAGS = "-crf 14 -preset veryfast -nostdin"

# Logs each ffmpeg run's arguments, then runs the real one.
COUNTING_FFMPEG = """#!/bin/sh
printf '%s\\0' "$@" >> "{log}"; printf '\\n' >> "{log}"
exec "{ffmpeg}" "$@"
"""


def _runs(log):
    if not log.exists():
        return []
    return [line.split("\0")[:-1] for line in log.read_text().split("\n") if line]


def measure(folder, rounds=ROUNDS):
    import kestrin

    folder = pathlib.Path(folder)
    interlaced, _ = interlaced_clips.make("ffmpeg", folder, "pal-576i25-tff", seconds=4, scale=2)
    width, height = interlaced_clips.size("pal-576i25-tff", scale=2)
    progressive = interlaced_clips.make_progressive("ffmpeg", folder / "progressive.mkv", 4,
                                                    width, height)
    bin_dir = folder / "counting-bin"
    bin_dir.mkdir()
    log = folder / "runs.log"
    wrapper = bin_dir / "ffmpeg"
    wrapper.write_text(COUNTING_FFMPEG.format(log=log, ffmpeg=shutil.which("ffmpeg")))
    wrapper.chmod(0o755)
    engine = kestrin.KestEngine()
    output = folder / "out.mkv"

    def transform(path):
        return engine.transform(str(path), str(output), "libx264", str(height),
                                f"{width}:{height}:0:0", FLAGS)

    saved_path, saved_stdout = os.environ["PATH"], os.dup(1)
    null = os.open(os.devnull, os.O_WRONLY)
    os.dup2(null, 1)
    try:
        os.environ["PATH"] = f"{bin_dir}:{saved_path}"
        counts = {}
        for name, path in (("progressive", progressive), ("interlaced", interlaced)):
            log.unlink(missing_ok=True)
            assert transform(path) is True
            counts[name] = len(_runs(log))
        encode_command = ["ffmpeg", *_runs(log)[-1]]
        os.environ["PATH"] = saved_path
        samples = {"kestrin": [], "bare": []}
        for _ in range(rounds):
            began = time.perf_counter()
            assert transform(interlaced) is True
            samples["kestrin"].append(time.perf_counter() - began)
            began = time.perf_counter()
            subprocess.run(encode_command, check=True, stdin=subprocess.DEVNULL,
                           stdout=null, stderr=null)
            samples["bare"].append(time.perf_counter() - began)
    finally:
        os.environ["PATH"] = saved_path
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
        os.close(null)
    figures = {name: statistics.median(times) for name, times in samples.items()}
    figures["ffmpeg_runs"] = counts
    return figures


def rows(figures):
    extra = figures["kestrin"] - figures["bare"]
    runs = figures["ffmpeg_runs"]
    return [("interlaced encode, 4-s 352x288 576i clip", f"{figures['kestrin'] * 1e3:.0f} ms",
             f"its ffmpeg command alone {figures['bare'] * 1e3:.0f} ms",
             f"+{extra * 1e3:.0f} ms", "<= +1000 ms"),
            ("ffmpeg runs per encode, progressive / interlaced",
             f"{runs['progressive']} / {runs['interlaced']}", "the encode alone 1 / 1",
             "+0 / +1", "+0 / +1")]


if __name__ == "__main__":
    with tempfile.TemporaryDirectory(prefix="kestrin-interlace-") as name:
        result = measure(name)
    print(json.dumps(result, indent=2))
    for line in rows(result):
        print("| " + " | ".join(line) + " |")
