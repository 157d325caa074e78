"""Interlaced and telecined clips whose true progressive pictures are known: a pan across
ffmpeg's test pattern, made at twice the rate and woven into fields (every field differs), or
made at the film's rate and telecined; and how close an encode of one comes to its truth."""
import json
import re
import subprocess

# name: (width, height, coded rate, how the fields are made, codec and container)
SOURCES = {
    "pal-576i25-tff": (720, 576, "25", "weave-top", "mpeg2", "mpg"),
    "ntsc-480i-bff": (720, 480, "30000/1001", "weave-bottom", "mpeg2", "mpg"),
    "broadcast-1080i25-h264": (1920, 1080, "25", "weave-top", "h264", "ts"),
    "ntsc-film-telecined": (720, 480, "30000/1001", "telecine", "mpeg2", "mpg"),
    "pal-psf": (720, 576, "25", "whole", "mpeg2", "mpg"),
}
FILM_RATE = "24000/1001"


def _run(ffmpeg, *arguments):
    done = subprocess.run([ffmpeg, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                           *map(str, arguments)], capture_output=True, text=True,
                          stdin=subprocess.DEVNULL)
    if done.returncode != 0:
        raise RuntimeError(f"making a clip failed: {done.stderr.strip()}")


def _pan(width, height, rate, seconds):
    # Half a picture width in 4 seconds: every picture moves by a few pixels. Made at twice the
    # size and shrunk, so that the pattern's one-line details do not look combed to idet.
    return (f"testsrc2=size={4 * width}x{2 * height}:rate={rate}:duration={seconds},"
            f"crop={2 * width}:{2 * height}:'t*{width // 4}':0,"
            f"scale={width}:{height}:flags=area")


def _doubled(rate):
    top, _, bottom = rate.partition("/")
    return f"{2 * int(top)}/{bottom or 1}"


def size(name, scale=1):
    width, height = SOURCES[name][:2]
    return width // scale // 16 * 16, height // scale // 16 * 16


def make_progressive(ffmpeg, path, seconds=1, width=176, height=144):
    _run(ffmpeg, "-f", "lavfi", "-i", _pan(width, height, "25", seconds), "-c:v", "libx264",
         "-preset", "ultrafast", "-pix_fmt", "yuv420p", path)
    return path


def make(ffmpeg, folder, name, seconds=4, scale=1):
    """The coded clip and its true pictures (lossless), at 1/`scale` of the source's size."""
    _, _, rate, fields, codec, container = SOURCES[name]
    width, height = size(name, scale)
    source, truth = folder / f"{name}.{container}", folder / f"{name}-truth.mkv"
    if fields.startswith("weave"):
        order = fields.removeprefix("weave-")
        pan = _pan(width, height, _doubled(rate), seconds)
        woven = f"tinterlace=mode=interleave_{order},setfield={'tff' if order == 'top' else 'bff'}"
        # The pictures seen by the first field of each frame.
        truth_filter, coded_filter = "framestep=2", woven
    elif fields == "telecine":
        pan = _pan(width, height, FILM_RATE, seconds)
        truth_filter, coded_filter = "null", "telecine=first_field=top:pattern=23,setfield=tff"
    else:
        pan = _pan(width, height, rate, seconds)
        truth_filter, coded_filter = "null", "setfield=tff"
    lossless = ["-c:v", "libx264", "-qp", "0", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]
    _run(ffmpeg, "-f", "lavfi", "-i", pan, "-vf", truth_filter, *lossless, truth)
    # The field order comes from the frames (setfield); ffmpeg 9 has no "-top" any more.
    field_coding = ["-flags", "+ilme+ildct"]
    if codec == "mpeg2":
        coder = ["-c:v", "mpeg2video", "-b:v", "12M", "-maxrate", "15M", "-bufsize", "2M"]
    else:
        coder = ["-c:v", "libx264", "-preset", "veryfast", "-crf", "12", "-x264opts",
                 "tff=1" if "bottom" not in fields else "bff=1"]
    _run(ffmpeg, "-f", "lavfi", "-i", pan, "-vf", coded_filter, *coder, *field_coding,
         "-pix_fmt", "yuv420p", source)
    return source, truth


def _stream(ffprobe, path):
    out = subprocess.run([ffprobe, "-v", "quiet", "-count_frames", "-select_streams", "v:0",
                          "-show_entries", "stream=width,height,avg_frame_rate,nb_read_frames",
                          "-of", "json", str(path)], capture_output=True, check=True).stdout
    return json.loads(out)["streams"][0]


def judge(ffmpeg, ffprobe, output, truth):
    """SSIM of `output` against the truth scaled to its size, the share of frames idet calls
    combed, the frame rate and the frame count."""
    stream = _stream(ffprobe, output)
    graph = (f"[1:v]scale={stream['width']}:{stream['height']}:flags=lanczos[t];"
             "[0:v][t]ssim")
    log = subprocess.run([ffmpeg, "-nostdin", "-hide_banner", "-i", str(output), "-i", str(truth),
                          "-lavfi", graph, "-f", "null", "-"], capture_output=True,
                         text=True).stderr
    ssim = float(re.findall(r"All:([0-9.]+)", log)[-1])
    log = subprocess.run([ffmpeg, "-nostdin", "-hide_banner", "-i", str(output), "-vf", "idet",
                          "-f", "null", "-"], capture_output=True, text=True).stderr
    counts = [int(n) for n in re.findall(
        r"Multi frame detection: TFF:\s*(\d+) BFF:\s*(\d+) Progressive:\s*(\d+) "
        r"Undetermined:\s*(\d+)", log)[-1]]
    top, _, bottom = stream["avg_frame_rate"].partition("/")
    return {"ssim": ssim, "combed": (counts[0] + counts[1]) / max(1, sum(counts)),
            "rate": int(top) / int(bottom or 1), "frames": int(stream["nb_read_frames"])}
