"""kestrin_jobs.verify on pairs of a source and an output made as users make them: the engine's
encodes of the real-world structures hold; each kind of loss is named."""
import json
import re
import subprocess

import pytest

from conftest import REAL_FFMPEG, REAL_FFPROBE, make_sample_clip

pytestmark = pytest.mark.usefixtures("real_tools")

FAST = "-preset ultrafast -nostdin"


def ffmpeg(*arguments):
    subprocess.run([REAL_FFMPEG, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                    *map(str, arguments)], check=True, stdin=subprocess.DEVNULL)


def plain_clip(path, seconds, *extra):
    ffmpeg("-f", "lavfi", "-i", f"testsrc2=size=160x90:rate=25:duration={seconds}",
           "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p", *extra, path)
    return path


def zero_middle(path, share):
    """A damaged download or disk: `share` of the file's bytes, around its middle, zeroed."""
    data = bytearray(path.read_bytes())
    start = int(len(data) * (1 - share) / 2)
    end = int(len(data) * (1 + share) / 2)
    data[start:end] = bytes(end - start)
    damaged = path.with_name("damaged-" + path.name)
    damaged.write_bytes(data)
    return damaged


def cut_mid_picture(path):
    """A transport stream as a tuner's recording begins: inside a picture of the first group,
    so the decoder meets pictures without their parameter sets before the next key frame."""
    report = subprocess.run([REAL_FFPROBE, "-v", "error", "-select_streams", "v:0",
                             "-show_entries", "packet=pos", "-of", "json", str(path)],
                            check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout
    third = int(json.loads(report)["packets"][2]["pos"])
    cut = path.with_name("cut-" + path.name)
    cut.write_bytes(path.read_bytes()[third + 188:])
    return cut


# name: (source, output, codec, flags) as made by the engine, from the real-world corpus or a
# small clip below; other outputs are made from a good one by hand.
GOOD = {
    "camera-timecode": ("camera-timecode", "mkv", "libx264", ""),
    "chapters-text-track": ("chapters-text-track", "mp4", "libx264", ""),
    "styled-fonts": ("styled-fonts", "mkv", "libx265", ""),
    "many-tracks": ("many-tracks", "mkv", "libx264", ""),
    "variable-rate": ("variable-rate", "mkv", "libx264", ""),
    "phone-rotated": ("phone-rotated", "mp4", "libx264", ""),
    "cover-art-first": ("cover-art-first", "mp4", "libx264", ""),
    "cover-art-last": ("cover-art-last", "mkv", "libx265", ""),
    "sample": ("sample", "mkv", "libx265", ""),
    "recording-cut": ("recording-cut", "mkv", "libx264", ""),
    "sample-first-2s": ("sample", "mkv", "libx264", "-t 2"),
    "hevc-in-avi": ("plain", "avi", "libx265", ""),
    "damaged": ("damaged", "mkv", "libx264", ""),
}


@pytest.fixture(scope="module")
def pairs(real_world_corpus, tmp_path_factory):
    import kestrin

    folder = tmp_path_factory.mktemp("verify")
    sources = {name: real_world_corpus[name] for name in
               ("camera-timecode", "chapters-text-track", "styled-fonts", "many-tracks",
                "variable-rate", "phone-rotated", "cover-art-first", "cover-art-last")}
    sources["sample"] = make_sample_clip(folder / "sample-source.mkv", seconds=3, size="160x120",
                                         bars=16)
    sources["plain"] = plain_clip(folder / "plain.mp4", 1)
    # The shortest that still shows the fault: the zeroed clusters are skipped whole and a
    # third of the output is the last picture before them, repeated.
    sources["damaged"] = zero_middle(plain_clip(folder / "film.mkv", 6, "-g", "50"), 0.3)
    sources["recording-cut"] = cut_mid_picture(plain_clip(
        folder / "recording.ts", 2, "-g", "12", "-bf", "2", "-f", "mpegts"))
    tasks, made = [], {}
    for name, (source, extension, codec, flags) in GOOD.items():
        made[name] = (str(sources[source]), str(folder / f"{name}.{extension}"), codec, flags)
        tasks.append((*made[name][:3], "90", "", f"{FAST} {flags}"))
    results = kestrin.KestEngine().batch(tasks)
    assert results == [True] * len(tasks), [t[1] for t, ok in zip(tasks, results) if not ok]
    source, good = made["sample"][:2]
    for name, options in (("audio-dropped", ["-map", "-0:a:1"]),
                          ("chapters-dropped", ["-map_chapters", "-1"])):
        made[name] = (source, str(folder / f"{name}.mkv"), "libx265", "")
        ffmpeg("-i", good, "-map", "0", *options, "-c", "copy", made[name][1])
    made["missing"] = (source, str(folder / "missing.mkv"), "libx265", "")
    return made


# name, pair, verify's flags and decode, the problems (regular expressions), what is unchecked
CASES = [(name, name, None, False, [], []) for name in GOOD if name not in (
    "sample-first-2s", "hevc-in-avi", "damaged")] + [
    # Its few errors come before the first picture: the normal start of such a recording.
    ("recording cut mid-picture, decoded", "recording-cut", None, True, [], []),
    ("cut short", "sample-first-2s", "", False,
     [r"the output is 2\.0\d s long, the source 3\.0\d s"], []),
    ("-t 2 in flags", "sample-first-2s", None, False, [], ["duration (-t)", "chapters (-t)"]),
    ("audio dropped", "audio-dropped", "", False,
     ["1 of the source's 2 audio streams is missing"], []),
    ("audio dropped by -an", "audio-dropped", "-an", False, [], ["audio streams (-an)"]),
    # The audio may have set the file's length: the pictures are compared instead.
    ("cut short, audio off", "sample-first-2s", "-an", False,
     [r"the output's video is 2\.0\d s long, the source's 3\.0\d s"], ["audio streams (-an)"]),
    ("chapters dropped", "chapters-dropped", "", False,
     ["2 of the source's 2 chapters are missing"], []),
    ("HEVC in AVI", "hevc-in-avi", None, True,
     ["the output's video is rawvideo, not HEVC as the encoder makes",
      r"the output does not decode cleanly: \d+ errors?, the first: .*"], []),
    ("damaged source", "damaged", None, True,
     [r"the source does not decode cleanly: \d+ errors?, the first: .*"], []),
    ("output missing", "missing", None, False,
     [r"the output cannot be read: .*missing\.mkv: No such file or directory"], []),
]


@pytest.mark.parametrize("name, pair, flags, decode, problems, unchecked", CASES,
                         ids=[case[0] for case in CASES])
def test_verify(pairs, name, pair, flags, decode, problems, unchecked):
    import kestrin_jobs

    source, output, codec, made_with = pairs[pair]
    found = kestrin_jobs.verify(source, output, codec=codec,
                                flags=made_with if flags is None else flags, decode=decode)
    assert len(found.problems) == len(problems), found
    for expected, got in zip(problems, found.problems):
        assert re.fullmatch(expected, got), found
    assert (found.ok, found.unchecked, found.decoded) == (not problems, tuple(unchecked), decode)


# source, output's name, codec, then what the report holds: ok, a pattern for its first message
# ("": no message; None: unchecked, as x265 on ffmpeg 5.1 adds warnings of its own), the
# problems' patterns, verified.
ENCODES = [
    ("sample", "good.mkv", "libx264", True, "", [], True),
    # ffmpeg fails and says why; there is nothing to verify.
    ("sample", "refused.webm", "libx264", False, r"\[webm @ .*", [], None),
    ("plain", "unreadable.avi", "libx265", False, None,
     ["the output's video is rawvideo, not HEVC as the encoder makes"], False),
    # ffmpeg exits 0 with a third of the film one repeated picture: its decode errors make the
    # source be decoded, which fails the output.
    ("damaged", "frozen.mkv", "libx264", False, r".*",
     [r"the source does not decode cleanly: \d+ errors?, the first: .*"], False),
]


@pytest.mark.parametrize("source, name, codec, ok, message, problems, verified", ENCODES,
                         ids=[case[1] for case in ENCODES])
def test_encode_reports_and_never_leaves_an_unverified_output(pairs, tmp_path, source, name,
                                                              codec, ok, message, problems,
                                                              verified):
    import kestrin_jobs

    sources = {"sample": pairs["sample"][0], "plain": pairs["hevc-in-avi"][0],
               "damaged": pairs["damaged"][0]}
    output = tmp_path / name
    report = kestrin_jobs.encode(sources[source], str(output), codec, "90", "", FAST)
    assert (report.ok, report.verified) == (ok, verified), report
    assert sorted(tmp_path.iterdir()) == ([output] if ok else []), report
    if message == "":
        assert report.messages == (), report
    elif message is not None:
        assert re.fullmatch(message, report.messages[0]), report
    assert len(report.problems) == len(problems), report
    for expected, got in zip(problems, report.problems):
        assert re.fullmatch(expected, got), report
