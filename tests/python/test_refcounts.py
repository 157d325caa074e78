"""The interpreter's total of references stays flat over hundreds of calls of every method, on
every path: results, failures, argument errors. Needs a debug interpreter (sys.gettotalrefcount)."""
import sys
import textwrap

import pytest

from conftest import run_in_fresh_interpreter

pytestmark = pytest.mark.skipif(not hasattr(sys, "gettotalrefcount"),
                                reason="only a debug interpreter counts all references")

# ffprobe's report chosen by the path, so that every failure of probe can be reached.
FFPROBE = """#!/bin/sh
for last; do :; done
case "$last" in
    *invalid*) echo '{"streams": [}' ;;
    *nostreams*) echo '{}' ;;
    *novideo*) echo '{"streams": [{"codec_type": "audio"}]}' ;;
    *) echo '{"streams": [{"codec_type": "video", "width": 64, "height": 48}],
              "format": {"filename": "x.mkv", "duration": "1.5", "bit_rate": "9"}}' ;;
esac
"""
FFMPEG = """#!/bin/sh
echo "[Parsed_cropdetect_0 @ 0x1] crop=64:32:0:8" >&2
printf 'frame=1 fps=1\\r' >&2
case "$*" in *fail*) exit 1;; esac
"""

ROUND = """
def expect(error, call, *args, **kwargs):
    try:
        call(*args, **kwargs)
    except error:
        return
    raise AssertionError(f"{call.__name__}{args} did not raise {error.__name__}")

class Items:
    def __init__(self, items, length):
        self.items, self.length = items, length
    def __getitem__(self, index):
        return self.items[index]
    def __len__(self):
        raise self.length

def one_round():
    e = kestrin.KestEngine()
    expect(TypeError, kestrin.KestEngine, 1)
    expect(TypeError, kestrin.KestEngine, x=1)
    expect(TypeError, kestrin.VideoMetadata)

    m = e.probe("ok.mkv")
    (m.filename, m.width, m.height, m.codec, m.duration, m.pix_fmt, m.bitrate)
    expect(AttributeError, setattr, m, "width", 1)
    expect(AttributeError, setattr, m, "other", 1)
    e.probe(path="ok.mkv")
    for path, error in (("invalid", ValueError), ("nostreams", RuntimeError),
                        ("novideo", RuntimeError), (None, TypeError), (b"x", TypeError),
                        ("\\udc80", UnicodeEncodeError), ("a\\0b", OSError)):
        expect(error, e.probe, path)
        expect(error, e.get_blackbar_coords, path)
    expect(TypeError, e.probe)
    expect(TypeError, e.probe, "a", "b")
    expect(TypeError, e.probe, "a", path="b")
    expect(TypeError, e.probe, path="a", other="b")
    e.get_blackbar_coords("ok.mkv")

    e.transform(*TASK)
    e.transform("in", "fail", "c", "r", "", "-crf 20")
    expect(OSError, e.transform, "in", "out\\0", "c", "r", "", "")
    expect(TypeError, e.transform, "in", "out", "c", 720, "", "")
    expect(TypeError, e.transform, "in", "out", "c")
    expect(TypeError, e.transform, *TASK, flags="")
    e.remux("in", "out")
    e.remux("in", "fail")
    expect(TypeError, e.remux, 1, 2)
    expect(TypeError, e.remux)

    e.batch([TASK, TASK, ("in", "fail", "c", "r", "", "")])
    e.batch([TASK])
    e.batch([])
    e.batch(Items([TASK], ValueError("no length")))
    for tasks, error in (("abc", TypeError), (5, TypeError), ({TASK}, TypeError),
                         ([TASK, list(TASK)], TypeError), ([TASK, TASK[:5]], ValueError),
                         ([("in", b"out", "", "", "", "")], TypeError),
                         ([("in\\udc80", "out", "", "", "", "")], UnicodeEncodeError),
                         (Items([TASK], KeyboardInterrupt()), KeyboardInterrupt)):
        expect(error, e.batch, tasks)

    # The start failures of every method: no program on PATH.
    os.environ["PATH"] = "/nonexistent"
    try:
        for call, args in ((e.probe, ("ok",)), (e.get_blackbar_coords, ("ok",)),
                           (e.transform, TASK), (e.remux, ("in", "out"))):
            expect(OSError, call, *args)
        assert e.batch([TASK, TASK]) == [False, False]
    finally:
        os.environ["PATH"] = tools
"""


def test_reference_total_is_flat_over_every_path(tmp_path):
    bin_dir = tmp_path / "bin"
    bin_dir.mkdir()
    for name, script in (("ffprobe", FFPROBE), ("ffmpeg", FFMPEG)):
        (bin_dir / name).write_text(script)
        (bin_dir / name).chmod(0o755)
    code = textwrap.dedent(f"""
        import gc, os, sys
        # The encode routine's console texts go to the null device, the findings to stdout.
        report = open(os.dup(1), "w")
        os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
        import kestrin
        TASK = ("in", "out", "libx264", "720", "", "")
        tools = {str(bin_dir)!r} + ":/usr/bin:/bin"
        os.environ["PATH"] = tools
        """) + textwrap.dedent(ROUND) + textwrap.dedent("""
        for _ in range(10):
            one_round()
        gc.collect()
        before = sys.gettotalrefcount()
        for _ in range(ROUNDS):
            one_round()
        gc.collect()
        report.write(f"{sys.gettotalrefcount() - before}\\n")
        """).replace("ROUNDS", "100")
    run = run_in_fresh_interpreter(code, timeout=600)
    assert run.returncode == 0, run.stderr.decode()
    # A reference lost on any path of a round would add at least one per round.
    growth = int(run.stdout)
    assert growth < 50, f"{growth} references gained over 100 rounds"
