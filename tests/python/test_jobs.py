"""kestrin_jobs: encodes that leave the interpreter free, report their progress as values, and
stop, whole process tree and partial output included, when the caller stops them or dies."""
import asyncio
import errno
import os
import pathlib
import signal
import subprocess
import sys
import threading
import time

import pytest

from conftest import (SANITIZED, processes_naming, python_env, running, started_encodes,
                      wait_for)

import kestrin_jobs
from kestrin_jobs import Progress

pytestmark = pytest.mark.skipif(
    SANITIZED, reason="the encode threads' ffmpeg would start without the sanitizer runtimes")




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
    # One encode on the main thread: Ctrl-C reaches the engine's wait itself.
    "transform": """
import os, kestrin_jobs
kestrin_jobs.transform("in.mkv", f"{os.environ['FILMS']}/out.mkv", "libx264", "720", "", "")
""",
}


@pytest.mark.parametrize("caller, stop, status", [
    ("encode_all", signal.SIGINT, -signal.SIGINT),  # KeyboardInterrupt, propagated
    ("asyncio", signal.SIGINT, -signal.SIGINT),     # asyncio.run cancels its tasks first
    ("transform", signal.SIGINT, -signal.SIGINT),
    ("encode_all", signal.SIGKILL, -signal.SIGKILL),
])
def test_a_stopped_caller_leaves_no_encode_and_no_output(fake, tmp_path, caller, stop, status):
    films = tmp_path / "films"
    films.mkdir()
    fake.set("stats_for", "30", "ffmpeg")
    encodes = 1 if caller == "transform" else 2
    with subprocess.Popen(
            [sys.executable, "-c", CALLERS[caller]], stdin=subprocess.DEVNULL,
            stdout=subprocess.DEVNULL, stderr=subprocess.PIPE,
            env=python_env({"FILMS": str(films), "PYTHONPATH": os.path.dirname(
                os.path.dirname(kestrin_jobs.__file__))})
    ) as process:
        try:
            wait_for(lambda: len(started_encodes(fake)) == encodes, 20, "running encodes")
            assert len(processes_naming(str(films))) == encodes
            process.send_signal(stop)
            wait_for(lambda: not processes_naming(str(films)), 2, "end of every encode")
            assert process.wait(10) == status, process.stderr.read().decode()
        finally:
            process.kill()
    time.sleep(0.5)
    assert len(started_encodes(fake)) == encodes  # nothing more was started
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
    (("film.mkv", "./film.mkv", "libx264", "720", "", ""),
     ValueError("the output './film.mkv' is the input 'film.mkv': the encode would overwrite "
                "its own source")),
])
def test_encode_all_refuses_a_bad_task_before_anything_starts(fake, tmp_path, monkeypatch, bad,
                                                               expected):
    monkeypatch.chdir(tmp_path)
    (tmp_path / "film.mkv").write_bytes(b"the film")
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


def same_file_cases(tmp_path):
    (tmp_path / "film.mkv").write_bytes(b"the film")
    (tmp_path / "link.mkv").symlink_to("film.mkv")
    os.link(tmp_path / "film.mkv", tmp_path / "hard.mkv")


@pytest.mark.parametrize("output, refusal", [
    # The input under its own name and others: refused before anything runs, the source kept.
    ("film.mkv", "is the input"), ("./film.mkv", "is the input"), ("link.mkv", "is the input"),
    ("hard.mkv", "is the input"),
    # One file per frame: no rename puts that in place whole.
    ("frames-%03d.png", "image sequence"),
    # Names the engine takes: the hidden name beside them still fits the name limit.
    ("é" * 125 + ".mkv", None), ("a" * 251 + ".mkv", None), (".mkv", None),
])
@pytest.mark.parametrize("form", ["transform", "transform_async", "encode_all"])
def test_what_the_output_may_be(fake, tmp_path, monkeypatch, output, refusal, form):
    monkeypatch.chdir(tmp_path)
    same_file_cases(tmp_path)
    fake.set("stats_for", "0.1", "ffmpeg")
    arguments = ("film.mkv", output, "libx264", "720", "", "")
    if form == "transform":
        call = lambda: kestrin_jobs.transform(*arguments)
    elif form == "transform_async":
        call = lambda: asyncio.run(kestrin_jobs.transform_async(*arguments))
    else:
        def call():
            started = kestrin_jobs.encode_all([arguments])
            # The caller's directory changes before the encode starts: the output stays where
            # it was meant when the call was made.
            os.chdir(fake.log)
            return dict(started)[0]
    if refusal is not None:
        with pytest.raises(ValueError, match=refusal) as raised:
            call()
        assert repr(output) in str(raised.value)
        assert fake.invocations("ffmpeg") == []
    else:
        assert call() is True
        assert (tmp_path / output).read_bytes() == b"\0" * 4096
    assert (tmp_path / "film.mkv").read_bytes() == b"the film"
    assert not [p for p in os.listdir(tmp_path) if ".part-" in p]


def test_a_missing_ffmpeg_is_file_not_found_as_subprocess_says_it(fake, tmp_path):
    fake.remove("ffmpeg")
    tasks = [("in.mkv", str(tmp_path / f"out{i}.mkv"), "libx264", "720", "", "") for i in range(3)]
    with pytest.raises(FileNotFoundError) as raised:
        kestrin_jobs.transform(*tasks[0])
    assert raised.value.errno == errno.ENOENT and raised.value.filename == "ffmpeg"
    # No task could start: each fails alone, and the iteration ends.
    results = dict(kestrin_jobs.encode_all(tasks, workers=2))
    assert sorted(results) == [0, 1, 2]
    assert all(type(error) is FileNotFoundError for error in results.values())


def test_a_cancelled_transform_async_leaves_the_loop_free_and_nothing_behind(fake, tmp_path):
    fake.set("stats_for", "30", "ffmpeg")

    async def main():
        task = asyncio.ensure_future(kestrin_jobs.transform_async(
            "in.mkv", str(tmp_path / "out.mkv"), "libx264", "720", "", ""))
        await asyncio.to_thread(wait_for, lambda: started_encodes(fake), 10, "encode")
        # The loop's longest gap between ticks while the task is cancelled and ends.
        task.cancel()
        longest, last = 0.0, time.monotonic()
        while not task.done():
            await asyncio.sleep(0.001)
            now = time.monotonic()
            longest, last = max(longest, now - last), now
        with pytest.raises(asyncio.CancelledError):
            task.result()
        return longest

    # Stopping and reaping happen on the encode's thread; the old design blocked 0.2 to 2 s here.
    assert asyncio.run(main()) < 0.1
    (ffmpeg,) = started_encodes(fake)
    assert not running(ffmpeg)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["bin", "log"]



ENVIRONMENT_CALLER = """
import ast, os, signal, sys, kestrin_jobs
setup = sys.argv[1]
# The name as the program would hold it, whatever the locale makes of command lines.
output = ast.literal_eval(sys.argv[2])
if setup == "SIGCHLD ignored":
    signal.signal(signal.SIGCHLD, signal.SIG_IGN)
elif setup == "child subreaper":
    import ctypes
    assert ctypes.CDLL(None, use_errno=True).prctl(36, 1, 0, 0, 0) == 0  # PR_SET_CHILD_SUBREAPER
elif setup == "background of a terminal with tostop":
    import fcntl, termios
    # A session of its own with the terminal on 0, as a shell has: it keeps the foreground, and
    # the caller runs in a process group of its own in the background, as after "&".
    fcntl.ioctl(0, termios.TIOCSCTTY, 0)
    attributes = termios.tcgetattr(0)
    attributes[3] |= termios.TOSTOP
    termios.tcsetattr(0, termios.TCSANOW, attributes)
    caller = os.fork()
    if caller:
        _, status = os.waitpid(caller, os.WUNTRACED)
        if os.WIFSTOPPED(status):
            os.kill(caller, signal.SIGKILL)
            os.waitpid(caller, 0)
            sys.exit("the caller was stopped")
        sys.exit(os.waitstatus_to_exitcode(status))
    os.setpgid(0, 0)
result = kestrin_jobs.transform("in.mkv", output, "libx264", "720", "", "", verify=False)
zombies = []
for entry in os.listdir("/proc"):
    try:
        with open(f"/proc/{entry}/stat") as stat:
            fields = stat.read().rsplit(")", 1)[1].split()
    except OSError:
        continue
    if fields[0] == "Z" and int(fields[1]) == os.getpid():
        zombies.append(entry)
print()
print(result, zombies)
"""


@pytest.mark.parametrize("setup, name, environment", [
    # The kernel reaps children itself: their status must not be lost ("exit status 0"). The
    # core's own starts are tabled in the unit tests; this is the companions' road to them.
    ("SIGCHLD ignored", "out.mkv", {}),
    ("child subreaper", "out.mkv", {}),
    ("background of a terminal with tostop", "out.mkv", {}),
    # A locale whose file names are ASCII: the output is there under the UTF-8 name meant.
    ("", "\u00e9t\u00e9.mkv",
     {"LC_ALL": "C", "PYTHONUTF8": "0", "PYTHONCOERCECLOCALE": "0"}),
])
def test_an_encode_in_the_callers_environment(fake, tmp_path, setup, name, environment):
    fake.set("stats_for", "0.3", "ffmpeg")
    films = tmp_path / "films"
    films.mkdir()
    env = python_env({"PYTHONPATH": os.path.dirname(os.path.dirname(kestrin_jobs.__file__)),
                      **environment})
    terminal = setup.startswith("background")
    leader, follower = os.openpty() if terminal else (None, None)
    try:
        process = subprocess.run(
            [sys.executable, "-c", ENVIRONMENT_CALLER, setup, ascii(f"{films}/{name}")],
            stdin=follower if terminal else subprocess.DEVNULL, capture_output=True,
            start_new_session=terminal, env=env, timeout=20)
    finally:
        for end in (leader, follower):
            if end is not None:
                os.close(end)
    # After the engine's console texts, a line with the result and the zombies left.
    assert (process.returncode, process.stdout.rsplit(b"\n", 2)[-2:]) == (0, [b"True []", b""]), \
        process.stderr.decode()
    assert os.listdir(films) == [name]


LIMITED_CALLER = """
import os, resource, sys, kestrin_jobs
free = int(sys.argv[1])
tasks = [("in.mkv", f"{os.environ['FILMS']}/out{i}.mkv", "libx264", "720", "", "") for i in range(6)]
# Descriptors are numbered from the lowest free one: the limit leaves `free` of them, and one
# more, that of the listing.
highest = max(int(fd) for fd in os.listdir("/proc/self/fd"))
resource.setrlimit(resource.RLIMIT_NOFILE, (highest + 1 + free, resource.getrlimit(resource.RLIMIT_NOFILE)[1]))
for position, result in kestrin_jobs.encode_all(tasks, workers=3, verify=False):
    print("\\nresult", position, result if isinstance(result, bool) else
          (type(result).__name__, result.errno, result.filename), flush=True)
"""


@pytest.mark.parametrize("free, done", [
    (0, 0),  # no task can start: each fails alone, and the iteration ends
    # Enough for one encode at a time: a task that can't start beside others waits for one of
    # them to end, and so do the tasks behind it.
    (3, 6),
])
def test_too_few_descriptors_fail_only_the_tasks_that_could_not_start(fake, tmp_path, free,
                                                                      done):
    fake.set("stats_for", "0.3", "ffmpeg")
    films = tmp_path / "films"
    films.mkdir()
    process = subprocess.run(
        [sys.executable, "-c", LIMITED_CALLER, str(free)], capture_output=True, timeout=30,
        env=python_env({"FILMS": str(films), "PYTHONPATH": os.path.dirname(
            os.path.dirname(kestrin_jobs.__file__))}))
    assert process.returncode == 0, process.stderr.decode()
    # Beside the engine's console texts, one line per result.
    results = dict(line.split(" ", 2)[1:] for line in process.stdout.decode().splitlines()
                   if line.startswith("result "))
    assert sorted(results) == [str(i) for i in range(6)]
    assert set(results.values()) <= {"True", "('OSError', 24, 'ffmpeg')"}, results
    finished = sorted(int(position) for position, result in results.items() if result == "True")
    assert len(finished) == done, results
    assert sorted(os.listdir(films)) == [f"out{i}.mkv" for i in finished]


INTERRUPTED_CALLERS = {
    "transform": """
import os, kestrin_jobs
print("ready", flush=True)
kestrin_jobs.transform("in.mkv", f"{os.environ['FILMS']}/out.mkv", "libx264", "720", "", "",
                       verify=False)
""",
    "encode_all": """
import os, kestrin_jobs
tasks = [("in.mkv", f"{os.environ['FILMS']}/out{i}.mkv", "libx264", "720", "", "") for i in range(4)]
print("ready", flush=True)
for _ in kestrin_jobs.encode_all(tasks, workers=2, verify=False):
    pass
""",
}


@pytest.mark.parametrize("caller, second", [("transform", False), ("encode_all", True)])
def test_ctrl_c_at_any_moment_leaves_nothing_behind(fake, tmp_path, caller, second):
    import random

    seed = time.time_ns()
    chance = random.Random(seed)
    fake.set("stats_for", "2", "ffmpeg")
    films = tmp_path / "films"
    films.mkdir()
    env = python_env({"FILMS": str(films),
                      "PYTHONPATH": os.path.dirname(os.path.dirname(kestrin_jobs.__file__))})
    for attempt in range(12):
        # Half the tries stop the call within its first milliseconds, half later on.
        delay = chance.uniform(0, 0.02 if attempt % 2 else 0.4)
        with subprocess.Popen([sys.executable, "-c", INTERRUPTED_CALLERS[caller]],
                              stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                              stderr=subprocess.DEVNULL, env=env) as process:
            try:
                assert process.stdout.readline() == b"ready\n"
                time.sleep(delay)
                process.send_signal(signal.SIGINT)
                if second:  # while the first one's cleanup runs
                    time.sleep(chance.uniform(0, 0.05))
                    process.send_signal(signal.SIGINT)
                process.wait(10)
            finally:
                process.kill()
        what = f"seed {seed}, try {attempt}, {delay:.3f} s"
        wait_for(lambda: not processes_naming(str(films)), 3, f"end of every encode ({what})")
        assert os.listdir(films) == [], what


def test_a_blocked_loop_body_holds_up_no_running_encode(fake, tmp_path):
    # The first task ends at once; the loop body then blocks far longer than the others take.
    tasks = [("in.mkv", str(tmp_path / f"out{i}@stats_for={seconds}@.mkv"), "libx264", "720",
              "", "") for i, seconds in enumerate(["0.1", "0.8", "0.8"])]
    seen = []
    for position, result in kestrin_jobs.encode_all(tasks, workers=3, verify=False,
                                                    on_progress=lambda *_: None):
        seen.append((position, result))
        if position == 0:
            time.sleep(2.5)
            # Ended, verified and renamed while the body was blocked.
            ended = sorted(p.name for p in tmp_path.glob("out*.mkv"))
    assert sorted(seen) == [(0, True), (1, True), (2, True)]
    assert ended == [pathlib.Path(task[1]).name for task in tasks]
