"""kestrin_jobs: encodes that leave the interpreter free, report their progress as values, and
stop, whole process tree and partial output included, when the caller stops them or dies."""
import asyncio
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import SANITIZED, python_env, running, started_encodes, wait_for

PYTHON_DIR = pathlib.Path(__file__).resolve().parents[2] / "python"
sys.path.insert(0, str(PYTHON_DIR))

import kestrin_jobs  # noqa: E402
from kestrin_jobs import Progress  # noqa: E402

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the encode processes would start without the sanitizer runtimes")






def processes_naming(text):
    """Live processes with `text` in their command line: the encode processes and the doubles."""
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            argv = (entry / "cmdline").read_bytes()
        except OSError:
            continue
        if entry.name.isdigit() and text.encode() in argv and running(entry.name):
            found.append(int(entry.name))
    return found




@pytest.mark.parametrize("call, least, most", [
    ("kestrin_jobs", 20, None),
    ("engine", None, 2),  # the engine's call holds the interpreter lock throughout
])
def test_other_threads_run_during_the_encode(fake, tmp_path, engine, call, least, most):
    fake.set("stats_for", "3", "ffmpeg")
    ticks = []
    stop = threading.Event()

    def ticker():
        while not stop.wait(0.05):
            ticks.append(time.monotonic())

    thread = threading.Thread(target=ticker)
    transform = kestrin_jobs.transform if call == "kestrin_jobs" else engine.transform
    thread.start()
    try:
        began = time.monotonic()
        assert transform("in.mkv", str(tmp_path / "out.mkv"), "libx264", "720", "", "") is True
        ended = time.monotonic()
    finally:
        stop.set()
        thread.join()
    during = [tick for tick in ticks if began < tick < ended]
    assert least is None or len(during) >= least
    assert most is None or len(during) <= most


@pytest.mark.parametrize("line, expected", [
    ("frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A "
     "elapsed=0:00:00.20", Progress(0, 0.0, 0.0, None, 0, "")),
    ("frame=   48 fps= 47 q=28.0 size=     256KiB time=00:00:01.84 bitrate=1139.7kbits/s "
     "speed=1.81x elapsed=0:00:01.01", Progress(48, 47.0, 1.84, 1.81, 256 * 1024, "")),
    # ffmpeg 5.1: kB for units of 1024 bytes, speed padded, no elapsed=.
    ("frame=   75 fps= 49 q=28.0 size=     512kB time=00:00:02.92 bitrate=1436.2kbits/s "
     "speed=   0x", Progress(75, 49.0, 2.92, 0.0, 512 * 1024, "")),
    ("frame=  100 fps=48 q=-1.0 Lsize=N/A time=01:02:03.92 bitrate=N/A speed=1.9x",
     Progress(100, 48.0, 3723.92, 1.9, None, "")),
    ("frame=    2 fps=0.0 q=0.0 size=       0KiB time=-00:00:00.04 bitrate=N/A speed=N/A",
     Progress(2, 0.0, -0.04, None, 0, "")),
])
def test_progress_records_are_parsed_exactly(line, expected):
    assert kestrin_jobs.parse_progress(line) == expected._replace(line=line)


RECORDS = [
    "frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A    \r",
    "frame=   48 fps= 47 q=28.0 size=     256KiB time=00:00:01.84 speed=1.81x    \r",
    "frame=   75 fps= 49 q=28.0 size=     512KiB time=00:00:02.92 speed=1.83x    \r",
    "frame=  100 fps= 48 q=-1.0 Lsize=     700KiB time=00:00:03.92 speed=1.9x    \n",
]


@pytest.mark.parametrize("call", ["transform", "transform_async"])
def test_on_progress_sees_the_first_and_the_last_record_and_the_rest_reaches_descriptor_1(
        fake, tmp_path, capfd, monkeypatch, call):
    # Within one interval of the first record, the second and third are passed over; the last
    # is held and reported when the encode ends.
    monkeypatch.setattr(kestrin_jobs, "PROGRESS_INTERVAL", 30.0)
    fake.output("ffmpeg", "stderr", "".join(RECORDS))
    fake.set("exit", "1", "ffmpeg")
    seen = []
    output = tmp_path / "out.mkv"
    arguments = ("in.mkv", str(output), "libx264", "720", "", "")
    if call == "transform":
        assert kestrin_jobs.transform(*arguments, on_progress=seen.append) is False
    else:
        assert asyncio.run(kestrin_jobs.transform_async(*arguments,
                                                        on_progress=seen.append)) is False
    assert seen == [
        Progress(0, 0.0, 0.0, None, 0,
                 "frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A"),
        Progress(100, 48.0, 3.92, 1.9, 700 * 1024,
                 "frame=  100 fps= 48 q=-1.0 Lsize=     700KiB time=00:00:03.92 speed=1.9x"),
    ]
    (run,) = fake.invocations("ffmpeg")
    # The command echo and the error banner as the engine writes them; no progress line.
    assert capfd.readouterr().out == (
        "\n  > [DEBUG] CMD: ffmpeg " + " ".join(run["argv"][1:]) + "\n"
        "\n  > [\u2726 KESTRIN] FFmpeg exited with an error.\n")
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "ffmpeg.stderr", "log"]


CALLERS = {
    "encode_all": """
import os, kestrin_jobs
tasks = [("in.mkv", f"{os.environ['FILMS']}/out{i}.mkv", "libx264", "720", "", "") for i in range(6)]
for position, result in kestrin_jobs.encode_all(tasks, workers=2, on_progress=lambda *_: None):
    print(position, result, flush=True)
""",
    "asyncio": """
import asyncio, os, kestrin_jobs
async def main():
    await asyncio.gather(*(kestrin_jobs.transform_async(
        "in.mkv", f"{os.environ['FILMS']}/out{i}.mkv", "libx264", "720", "", "") for i in range(2)))
asyncio.run(main())
""",
}


@pytest.mark.parametrize("caller, stop, status", [
    ("encode_all", signal.SIGINT, -signal.SIGINT),  # KeyboardInterrupt, propagated
    ("asyncio", signal.SIGINT, -signal.SIGINT),     # asyncio.run cancels its tasks first
    ("encode_all", signal.SIGKILL, -signal.SIGKILL),
])
def test_a_stopped_caller_leaves_no_encode_and_no_output(fake, tmp_path, caller, stop, status):
    films = tmp_path / "films"
    films.mkdir()
    fake.set("stats_for", "30", "ffmpeg")
    with subprocess.Popen(
            [sys.executable, "-c", CALLERS[caller]], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=python_env({"FILMS": str(films),
                            "PYTHONPATH": os.pathsep.join([str(PYTHON_DIR), *sys.path])})
    ) as process:
        try:
            wait_for(lambda: len(started_encodes(fake)) == 2, 20, "two running encodes")
            # Two encode processes, their guards, and two ffmpeg.
            assert len(processes_naming(str(films))) == 6
            process.send_signal(stop)
            wait_for(lambda: not processes_naming(str(films)), 2, "end of every encode")
            assert process.wait(10) == status, process.stderr.read().decode()
        finally:
            process.kill()
    time.sleep(0.5)
    assert len(started_encodes(fake)) == 2  # nothing more was started
    assert not processes_naming(str(films))
    if stop == signal.SIGINT:  # a killed caller leaves the temporary files, hidden
        assert os.listdir(films) == []
    assert not [name for name in os.listdir(films) if not name.startswith(".")]


@pytest.mark.parametrize("bad, expected", [
    (["in.mkv", "out.mkv", "libx264", "720", "", ""],
     TypeError("argument 'tasks': 'list' object is not an instance of 'tuple'")),
    (("in.mkv", "out.mkv"), ValueError("expected tuple of length 6, but got tuple of length 2")),
    (("in.mkv", "out.mkv", "libx264", 720, "", ""),
     TypeError("argument 'tasks': 'int' object is not an instance of 'str'")),
])
def test_encode_all_refuses_a_bad_task_before_anything_starts(fake, tmp_path, bad, expected):
    good = ("in.mkv", str(tmp_path / "out.mkv"), "libx264", "720", "", "")
    with pytest.raises(type(expected)) as raised:
        kestrin_jobs.encode_all([good, bad], workers=1)
    assert str(raised.value) == str(expected)
    assert fake.invocations() == []


def test_a_callback_that_raises_stops_the_encode(fake, tmp_path):
    fake.set("stats_for", "30", "ffmpeg")

    class Enough(Exception):
        pass

    def on_progress(progress):
        raise Enough(progress.frame)

    began = time.monotonic()
    with pytest.raises(Enough):
        kestrin_jobs.transform("in.mkv", str(tmp_path / "out.mkv"), "libx264", "720", "", "",
                               on_progress=on_progress)
    assert time.monotonic() - began < 10
    (ffmpeg,) = started_encodes(fake)
    assert not running(ffmpeg)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "log"]
