"""The main job, on an embedded default: make a short sample clip with ffmpeg's lavfi sources
(a picture with black bars, two audio tracks, a subtitle track, chapters) and run the engine on it.

    ./run demo
"""
import pathlib
import subprocess
import sys
import tempfile
import time

import kestrin


def make_sample_clip(folder: pathlib.Path) -> pathlib.Path:
    """640x360 with 44-line black bars above and below, 3 seconds."""
    clip = folder / "sample.mkv"
    (folder / "sample.srt").write_text(
        "1\n00:00:00,000 --> 00:00:01,500\nHello from kestrin\n\n"
        "2\n00:00:01,500 --> 00:00:03,000\nGoodbye\n")
    (folder / "sample.chapters").write_text(
        ";FFMETADATA1\ntitle=kestrin sample\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND=1500\ntitle=Opening\n"
        "[CHAPTER]\nTIMEBASE=1/1000\nSTART=1500\nEND=3000\ntitle=Ending\n")
    subprocess.run(
        ["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
         "-f", "lavfi", "-i", "testsrc2=size=640x272:rate=25:duration=3,pad=640:360:0:44:black",
         "-f", "lavfi", "-i", "sine=frequency=440:duration=3",
         "-f", "lavfi", "-i", "sine=frequency=660:duration=3",
         "-i", str(folder / "sample.srt"), "-i", str(folder / "sample.chapters"),
         "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
         "-map_metadata", "4", "-map_chapters", "4",
         "-metadata:s:a:0", "language=eng", "-metadata:s:a:1", "language=fra",
         "-c:v", "libx264", "-preset", "ultrafast", "-c:a", "aac", "-c:s", "srt", str(clip)],
        check=True)
    return clip


def step(title: str) -> None:
    print(f"\n--- {title}", flush=True)


def main() -> int:
    engine = kestrin.KestEngine()
    with tempfile.TemporaryDirectory(prefix="kestrin-demo-") as name:
        folder = pathlib.Path(name)
        step("making a sample clip with ffmpeg's lavfi sources")
        clip = make_sample_clip(folder)
        print(f"sample clip: {clip} ({clip.stat().st_size} bytes)")

        step("probe: the facts of the first video stream")
        info = engine.probe(str(clip))
        print(f"{info.filename}: {info.width}x{info.height} {info.codec} {info.pix_fmt}, "
              f"{info.duration:.2f} s, {info.bitrate} bit/s")

        step("get_blackbar_coords: the picture inside the black bars")
        crop = engine.get_blackbar_coords(str(clip))
        print(f"crop rectangle: {crop}")

        step("remux: every stream copied into a new container")
        started = time.monotonic()
        ok = engine.remux(str(clip), str(folder / "copy.mkv"))
        print(f"remux -> {ok} in {time.monotonic() - started:.2f} s")

        for codec, flags in (("libx265", "-preset ultrafast -crf 28"),
                             ("libx264", "-preset veryfast -crf 23")):
            step(f"transform with {codec}: crop the bars, scale to 240 lines")
            started = time.monotonic()
            ok = engine.transform(str(clip), str(folder / f"{codec}.mkv"), codec, "240",
                                  crop, flags)
            # The progress line stays open after a successful run; end it first.
            print(f"\ntransform {codec} -> {ok} in {time.monotonic() - started:.2f} s", flush=True)
        step("batch: the sample clip in several variants at once on the worker pool")
        variants = [
            (str(clip), str(folder / "variant-x265.mkv"), "libx265", "240", crop,
             "-preset ultrafast -crf 28"),
            (str(clip), str(folder / "variant-x264.mkv"), "libx264", "180", crop,
             "-preset veryfast -crf 23"),
            (str(clip), str(folder / "variant-small.mp4"), "libx264", "120", crop,
             "-preset veryfast -sn"),
        ]
        started = time.monotonic()
        results = engine.batch(variants)
        print(f"\nbatch of {len(variants)} in {time.monotonic() - started:.2f} s:")
        for (_, output, codec, res, _, _), ok in zip(variants, results):
            made = engine.probe(output) if ok else None
            size = f"{made.width}x{made.height} {made.codec}" if made else "-"
            print(f"  {'ok' if ok else 'FAILED':6} {codec:8} {res:>4} lines  {size:16} "
                  f"{pathlib.Path(output).name}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
