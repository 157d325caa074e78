"""The film of the CRF-search benchmark: six scenes that differ, the hard one short.

Made once from ffmpeg's lavfi sources: a still (colour bars), a pan over a fractal, a fractal
zoom (short and the hardest), cellular noise, moving gradients and the moving test pattern, at
a small size so that the full encodes that check the search stay quick.
"""
import subprocess

SIZE = "640x360"
RATE = 24
# (name, seconds, lavfi source); the zoom is the short, hard one.
SCENES = [
    ("still", 50, "smptehdbars=s={size}:r={rate}"),
    ("pan", 45, "mandelbrot=s=2560x360:r={rate}:start_scale=2:end_scale=2:maxiter=300,trim=end_frame=1,"
                "loop=loop=-1:size=1,scroll=horizontal=0.0008,crop={w}:{h}:0:0"),
    ("fractal zoom", 15, "mandelbrot=s={size}:r={rate}:end_pts=15:maxiter=300"),
    ("cellular noise", 40, "cellauto=s={size}:r={rate}:rule=30:random_fill_ratio=0.5"),
    ("gradients", 45, "gradients=s={size}:r={rate}:speed=0.03:n=5"),
    ("test pattern", 45, "testsrc2=s={size}:r={rate}"),
]


def scene_bounds():
    """(name, start, end) in seconds of each scene."""
    at, bounds = 0.0, []
    for name, seconds, _ in SCENES:
        bounds.append((name, at, at + seconds))
        at += seconds
    return bounds


def make_film(ffmpeg, path):
    width, height = SIZE.split("x")
    inputs, labels = [], []
    for i, (_, seconds, source) in enumerate(SCENES):
        text = source.format(size=SIZE, rate=RATE, w=width, h=height)
        inputs += ["-f", "lavfi", "-i", f"{text},trim=duration={seconds},format=yuv420p,"
                                        f"setsar=1,setpts=PTS-STARTPTS"]
        labels.append(f"[{i}:v]")
    seconds = sum(s for _, s, _ in SCENES)
    graph = "".join(labels) + f"concat=n={len(SCENES)}:v=1:a=0[v]"
    subprocess.run(
        [ffmpeg, "-nostdin", "-y", "-hide_banner", "-loglevel", "error", *inputs,
         "-f", "lavfi", "-i", f"anoisesrc=d={seconds}:c=pink:a=0.1",
         "-filter_complex", graph, "-map", "[v]", "-map", f"{len(SCENES)}:a",
         "-c:v", "libx264", "-preset", "veryfast", "-crf", "10", "-g", "48",
         "-c:a", "aac", "-b:a", "96k", path], check=True)
    return path


if __name__ == "__main__":
    import sys

    make_film("ffmpeg", sys.argv[1])
