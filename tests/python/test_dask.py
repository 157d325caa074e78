"""kestrin_dask: each encode without the interpreter lock, stopped with its worker, output renamed
into place only on success, console text as whole log lines; and on a local Dask cluster, long encodes
that keep their worker alive and a killed worker whose encode runs again."""
import contextlib
import logging
import os
import pathlib
import re
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import (SANITIZED, ffprobe_json, make_sample_clip, python_env, running,
                      started_encodes, wait_for)

import kestrin_dask
from kestrin_jobs import _runner

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the workers would start without the sanitizer runtimes")


def dask_missing():
    try:
        import distributed
    except ImportError:
        return "Dask distributed is not installed"
    version = tuple(int(part) for part in re.findall(r"\d+", distributed.__version__)[:2])
    if version < (2024, 1):
        return (f"distributed {distributed.__version__} is too old: restarting a worker that "
                "missed its heartbeats came later")
    return None


needs_dask = pytest.mark.skipif(bool(dask_missing()), reason=str(dask_missing()))

class Recorder(logging.Handler):
    def __init__(self):
        super().__init__()
        self.lines = []

    def emit(self, record):
        self.lines.append(record.getMessage())


def test_an_encode_becomes_whole_log_lines(monkeypatch):
    monkeypatch.setattr(kestrin_dask, "PROGRESS_LOG_INTERVAL", 1000.0)
    logger = logging.getLogger("test.kestrin_dask")
    logger.propagate = False
    logger.setLevel(logging.INFO)
    recorder = Recorder()
    logger.addHandler(recorder)
    log = kestrin_dask._EncodeLog("out.mkv", logger)
    for frame in (1, 2, 3):
        log.record(_runner.Record(frame, 0.0, 0.0, None, None, None, None, f"frame={frame}"))
    log.close(_runner.Outcome(False, ("Error opening input file in.mkv.",), 2, None,
                              ["ffmpeg", "-i", "in.mkv", "out.mkv"]))
    # The first progress record is logged at once; the second falls inside the interval; the
    # last is logged at the end, so that the log shows where the encode stopped.
    assert recorder.lines == [
        "out.mkv:   > [\u2726 KESTRIN] ENCODE | frame=1",
        "out.mkv:   > [\u2726 KESTRIN] ENCODE | frame=3",
        "out.mkv:   > [DEBUG] CMD: ffmpeg -i in.mkv out.mkv",
        "out.mkv:   > [\u2726 KESTRIN] FFmpeg exited with an error.",
        "out.mkv:   > [\u2726 KESTRIN] FFMPEG | Error opening input file in.mkv.",
        "out.mkv:   > [\u2726 KESTRIN] FFMPEG | (2 more)",
    ]


def folder_listing(folder):
    return sorted(p.name for p in folder.iterdir())


@pytest.mark.parametrize("case, expected", [
    ("ok", True),
    ("ffmpeg fails", False),
    ("no ffmpeg", FileNotFoundError(2, "No such file or directory", "ffmpeg")),
    ("not a str", TypeError("argument 'res': 'int' object is not an instance of 'str'")),
])
def test_transform_writes_the_output_only_on_success(fake, tmp_path, case, expected):
    films = tmp_path / "films"
    films.mkdir()
    output = films / "out.mkv"
    output.write_bytes(b"an earlier output")
    fake.set("stats_for", "0.3", "ffmpeg")
    if case == "ffmpeg fails":
        fake.set("exit", "1", "ffmpeg")
    if case == "no ffmpeg":
        fake.remove("ffmpeg")
    res = 720 if case == "not a str" else "720"
    if isinstance(expected, Exception):
        with pytest.raises(type(expected)) as raised:
            kestrin_dask.transform("in.mkv", str(output), "libx264", res, "", "")
        assert str(raised.value) == str(expected)
    else:
        assert kestrin_dask.transform("in.mkv", str(output), "libx264", res, "", "") is expected
    # Only a success replaces the earlier output, and no attempt leaves its temporary file.
    assert folder_listing(films) == ["out.mkv"]
    assert output.read_bytes() == (b"\0" * 4096 if expected is True else b"an earlier output")
    for run in fake.invocations("ffmpeg"):
        assert re.fullmatch(r"\.out\.part-[0-9a-f]{8}\.mkv", pathlib.Path(run["argv"][-1]).name)
        assert pathlib.Path(run["argv"][-1]).parent == films
        assert run["stdin_is_null"]


def parent_of(pid):
    with open(f"/proc/{pid}/stat") as stat:
        return int(stat.read().rsplit(")", 1)[1].split()[1])


def test_the_encode_dies_with_the_thread_that_started_it(fake, tmp_path):
    # The caller runs transform on a thread of its own, as a Dask worker does, and is killed.
    code = ("import threading, kestrin_dask\n"
            "threading.Thread(target=kestrin_dask.transform, args=('in.mkv', %r, 'libx264', '720',"
            " '', '')).start()" % str(tmp_path / "out.mkv"))
    fake.set("stats_for", "30", "ffmpeg")
    caller = subprocess.Popen([sys.executable, "-c", code], env=python_env(),
                              stdin=subprocess.DEVNULL)
    try:
        (ffmpeg,) = wait_for(lambda: started_encodes(fake), 10, "encode")
    finally:
        caller.kill()
        caller.wait()
    wait_for(lambda: not running(ffmpeg), 3, "end of ffmpeg")


# ---- on a local Dask cluster ----

@contextlib.contextmanager
def local_cluster(quiet=True):
    """Two single-thread workers, started with the test's PATH, and a 5 s worker-ttl."""
    import dask
    import distributed

    with dask.config.set({"distributed.scheduler.worker-ttl": "5s"}), \
            distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                     dashboard_address=None,
                                     silence_logs=logging.WARNING if quiet else False) as cluster, \
            distributed.Client(cluster) as client:
        yield client


def worker_pids(client):
    return sorted(client.run(os.getpid).values())


def worker_restarts(client):
    return [event for _, event in client.get_events("scheduler")
            if event.get("action") == "worker-ttl-timed-out"]


@needs_dask
def test_real_encodes_on_a_local_cluster(real_tools, tmp_path):
    films = tmp_path / "films"
    films.mkdir()
    make_sample_clip(films / "first.mkv", seconds=1, size="320x240", bars=32)
    make_sample_clip(films / "second.mp4", seconds=1, size="256x192", bars=16)
    tasks = [(str(films / name), str(tmp_path / name), "libx264", "96", "", "-preset ultrafast")
             for name in ("first.mkv", "second.mp4")]
    with local_cluster(quiet=False) as client:
        results = dict(kestrin_dask.encode_all(client, tasks))
        logs = [message for records in client.get_worker_logs().values()
                for _, message in records]
    assert results == {0: True, 1: True}
    for (_, output, *_), width in zip(tasks, (128, 128)):
        video = ffprobe_json(output)["streams"][0]
        assert (video["codec_name"], video["width"], video["height"]) == ("h264", width, 96)
    assert not list(tmp_path.glob(".*"))
    for name in ("first.mkv", "second.mp4"):
        mine = [m.split(f"{name}: ", 1)[1] for m in logs if f"{name}: " in m]
        commands = [m for m in mine if m.startswith("  > [DEBUG] CMD: ffmpeg -y ")]
        progress = [m for m in mine if m not in commands]
        assert len(commands) == 1 and progress
        for line in progress:
            assert re.fullmatch(r"  > \[\u2726 KESTRIN\] ENCODE \| frame=\s*\d+ .*\S", line)
    assert not [m for m in logs if "\r" in m or "\x1b" in m]


@needs_dask
def test_a_long_encode_keeps_its_worker(fake, tmp_path):
    output = tmp_path / "out@stats_for=15@.mkv"
    with local_cluster() as client:
        before = worker_pids(client)
        # The double encodes for 15 s, writing a statistics record every 0.2 s.
        # In the worker's own process the double's output is verified: that is not the point.
        future = client.submit(kestrin_dask.transform, "in.mkv", str(output), "libx264", "720",
                               "", "", verify=False, pure=False)
        assert future.result(timeout=60) is True
        assert worker_pids(client) == before
        assert worker_restarts(client) == []
    assert len(started_encodes(fake)) == 1
    assert output.stat().st_size == 4096


@needs_dask
def test_a_long_encode_in_a_worker_thread_restarts_the_worker(fake, tmp_path):
    output = str(tmp_path / "out@stats_for=15@.mkv")

    def transform_in_the_worker_thread():
        import kestrin

        return kestrin.KestEngine().transform("in.mkv", output, "libx264", "720", "", "")

    with local_cluster() as client:
        future = client.submit(transform_in_the_worker_thread, pure=False)
        wait_for(lambda: worker_restarts(client), 30, "worker restart")
        future.cancel()


@needs_dask
def test_a_killed_worker_has_its_encode_run_again(real_tools, tmp_path):
    clip = make_sample_clip(tmp_path / "film.mkv", seconds=4, size="160x120", bars=16)
    films = tmp_path / "encoded"
    films.mkdir()
    output = films / "film.mkv"
    # Audio re-encoded through arealtime makes the encode last as long as the film.
    flags = "-preset ultrafast -c:a aac -af arealtime"
    with local_cluster() as client:
        future = client.submit(kestrin_dask.transform, str(clip), str(output), "libx264", "96", "",
                               flags, retries=1, pure=False)
        ffmpeg = wait_for(lambda: encodes_writing_into(films), 30, "encode")[0]
        worker = parent_of(ffmpeg)
        assert worker in worker_pids(client)
        os.kill(worker, signal.SIGKILL)
        # ffmpeg ignores SIGPIPE: only its death signal ends it before its time.
        wait_for(lambda: not running(ffmpeg), 2, "end of the orphaned ffmpeg")
        assert future.result(timeout=60) is True
    streams = ffprobe_json(output, "-count_frames")["streams"]
    assert [s["codec_type"] for s in streams] == ["video", "audio", "audio", "subtitle"]
    assert streams[0]["nb_read_frames"] == "100"


def encodes_writing_into(folder):
    pids = []
    for entry in pathlib.Path("/proc").iterdir():
        try:
            argv = (entry / "cmdline").read_bytes().split(b"\0")
        except (OSError, ValueError):
            continue
        if entry.name.isdigit() and argv[0].endswith(b"ffmpeg") and \
                any(arg.startswith(str(folder).encode() + b"/") for arg in argv):
            pids.append(int(entry.name))
    return pids

