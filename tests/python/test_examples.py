"""The examples run as a user would run them, on generated clips; the stubs match the module."""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys

import pytest

from conftest import ffprobe_json, make_sample_clip, mypy_missing_reason, python_env

REPO = pathlib.Path(__file__).resolve().parents[2]
EXAMPLES = REPO / "examples"


def run_example(name, *args, timeout=300, env=None):
    return subprocess.run([sys.executable, str(EXAMPLES / name), *map(str, args)],
                          capture_output=True, text=True, timeout=timeout, env=python_env(env),
                          stdin=subprocess.DEVNULL)


HAVE_DASK = importlib.util.find_spec("distributed") is not None


@pytest.fixture(scope="module")
def clips(tmp_path_factory):
    if not shutil.which("ffmpeg", path="/usr/bin"):
        pytest.skip("the real ffmpeg is not installed in /usr/bin")
    folder = tmp_path_factory.mktemp("example-clips")
    make_sample_clip(folder / "first.mkv", seconds=1, size="320x240", bars=32)
    make_sample_clip(folder / "second.mp4", seconds=1, size="256x192", bars=16)
    return folder


def test_autocrop(real_tools, clips, tmp_path):
    output = tmp_path / "out.mkv"
    done = run_example("autocrop.py", clips / "first.mkv", output, "--codec", "libx264",
                       "--height", "96", "--flags", "-preset ultrafast")
    assert done.returncode == 0, done.stderr
    summary = done.stdout.strip().splitlines()[-1]
    assert re.fullmatch(rf"{re.escape(str(clips / 'first.mkv'))}: 320x240 h264 -> "
                        rf"{re.escape(str(output))}: 160x96 h264 \(crop 320:176:0:32\) in [\d.]+ s",
                        summary), summary


def test_autocrop_of_a_missing_file_says_why(real_tools, tmp_path):
    done = run_example("autocrop.py", tmp_path / "missing.mkv", tmp_path / "out.mkv")
    assert done.returncode == 2
    assert "cannot read" in done.stderr


def test_transcode_folder(real_tools, clips, tmp_path):
    folder = tmp_path / "in"
    shutil.copytree(clips, folder, ignore=shutil.ignore_patterns("*.srt", "*.chapters"))
    (folder / "broken.mkv").write_bytes(b"not a video")
    done = run_example("transcode_folder.py", folder, tmp_path / "out", "--codec", "libx264",
                       "--height", "64", "--flags", "-preset ultrafast")
    lines = done.stdout.strip().splitlines()
    assert done.returncode == 1  # the broken file is reported, not hidden
    assert any(re.fullmatch(r"first\.mkv\s+ok \(crop 320:176:0:32\)", line) for line in lines)
    assert any(re.fullmatch(r"second\.mp4\s+ok \(crop 256:160:0:16\)", line) for line in lines)
    assert any(line.startswith("broken.mkv") and "skipped" in line for line in lines)
    assert lines[-1].startswith("2 of 3 encoded in ")
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["first.mkv", "second.mp4"]


def test_progress_bar(real_tools, clips, tmp_path):
    folder = tmp_path / "in"
    shutil.copytree(clips, folder, ignore=shutil.ignore_patterns("*.srt", "*.chapters"))
    (folder / "broken.mkv").write_bytes(b"not a video")
    done = run_example("progress_bar.py", folder, tmp_path / "out", "--codec", "libx264",
                       "--height", "64", "--flags", "-preset ultrafast")
    assert done.returncode == 1, done.stderr  # the broken file is reported, not hidden
    # Each redraw moves up over the bars and clears to the end of the screen.
    lines = re.sub(r"\x1b\[(\d*F|J)", "", done.stdout).splitlines()
    assert lines[0].startswith("broken.mkv  skipped: ")
    for name in ("first.mkv", "second.mp4"):
        assert any(re.fullmatch(rf"{re.escape(name)} +\[[#.]{{20}}\] +\d+\.\d% .* left", line)
                   for line in lines), lines
        assert any(re.fullmatch(rf"{re.escape(name)}  ok at [\d.]+ s", line) for line in lines)
    assert re.fullmatch(r"2 of 3 encoded in [\d.]+ s", lines[-1])
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["first.mkv", "second.mp4"]


@pytest.mark.skipif(not HAVE_DASK, reason="Dask distributed is not installed")
def test_dask_cluster_on_a_local_cluster(real_tools, clips, tmp_path):
    folder = tmp_path / "in"
    shutil.copytree(clips, folder, ignore=shutil.ignore_patterns("*.srt", "*.chapters"))
    (folder / "broken.mkv").write_bytes(b"not a video")
    done = run_example("dask_cluster.py", folder, tmp_path / "out", "--codec", "libx264",
                       "--height", "64", "--flags", "-preset ultrafast")
    lines = done.stdout.strip().splitlines()
    assert done.returncode == 1, done.stderr  # the broken file is reported, not hidden
    assert lines[0].startswith("broken.mkv  skipped: ")
    assert sorted(re.sub(r" at [\d.]+ s$", "", line) for line in lines[1:3]) == [
        "first.mkv  ok (crop 320:176:0:32)", "second.mp4  ok (crop 256:160:0:16)"]
    assert re.fullmatch(r"2 of 3 encoded in [\d.]+ s", lines[3])
    assert sorted(p.name for p in (tmp_path / "out").iterdir()) == ["first.mkv", "second.mp4"]


def test_preview(real_tools, clips, tmp_path):
    png = tmp_path / "sheet.png"
    done = run_example("preview.py", clips / "first.mkv", png, "--frames", "6")
    assert done.returncode == 0, done.stderr
    (stream,) = ffprobe_json(png)["streams"]
    assert stream["codec_name"] == "png"
    # Three columns of 480-wide frames with 4-pixel padding, two rows.
    assert (stream["width"], stream["height"]) == (3 * 480 + 2 * 4, 2 * 360 + 4)


def require_mypy():
    reason = mypy_missing_reason()
    if reason:
        pytest.skip(reason)


def typing_env():
    """The build folder is laid out like site-packages (the module beside its kestrin-stubs
    package and kestrin_dask), so mypy finds the stubs there as in an installed wheel."""
    import kestrin

    return {"PATH": "/usr/bin:/bin", "PYTHONPATH": str(pathlib.Path(kestrin.__file__).parent)}


def test_stubs_match_the_module():
    require_mypy()
    # kestrin_dask's stubs name distributed's Client: without Dask they cannot be checked.
    modules = ["kestrin", "kestrin_dask"] if HAVE_DASK else ["kestrin"]
    done = subprocess.run([sys.executable, "-m", "mypy.stubtest", *modules],
                          capture_output=True, text=True, timeout=300,
                          env=python_env(typing_env()))
    assert done.returncode == 0, done.stdout + done.stderr


def test_examples_pass_mypy_strict():
    require_mypy()
    examples = [p for p in EXAMPLES.glob("*.py") if HAVE_DASK or p.name != "dask_cluster.py"]
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           "--cache-dir", "/dev/null", *sorted(map(str, examples))],
                          capture_output=True, text=True, timeout=300, env=typing_env())
    assert done.returncode == 0, done.stdout + done.stderr
