"""batch: conversion of the task list, the worker pool's scheduling and size, and its children."""
import collections
import json
import os
import subprocess
import sys
import threading
import time

import pytest

from conftest import ffprobe_json, make_sample_clip, run_in_fresh_interpreter

ECHO = "  > [DEBUG] CMD: ffmpeg "


def task(output="out.mkv", source="in.mkv"):
    return (source, output, "libx264", "720", "1920:800:0:140", "-preset fast")


GOOD = task()


def sleeping(seconds, index, extra=""):
    return task(f"out{index}@sleep={seconds}@{extra}.mkv")


def printed_lines(done):
    """What the script printed, without the encode routine's console texts on the same stdout."""
    return [line for line in done.stdout.decode().splitlines()
            if line and not line.startswith("  > ")]


def output_of(record):
    return record["argv"][-1]


def most_at_once(records):
    # At equal times an end comes before a start: touching runs do not overlap.
    events = sorted([(r["start"], 1) for r in records] + [(r["end"], -1) for r in records])
    running = most = 0
    for _, step in events:
        running += step
        most = max(most, running)
    return most


def batch_in_fresh_interpreter(tasks, workers):
    code = ("import json, kestrin\n"
            f"flags = kestrin.KestEngine().batch({tasks!r})\n"
            "print('FLAGS', json.dumps(flags))\n")
    done = run_in_fresh_interpreter(code, env={"KESTRIN_BATCH_WORKERS": workers})
    assert done.returncode == 0, done.stderr.decode()
    (line,) = [l for l in done.stdout.decode().splitlines() if l.startswith("FLAGS ")]
    return json.loads(line[len("FLAGS "):])


class Str(str):
    pass


class Pair(tuple):
    pass


Job = collections.namedtuple("Job", "input output codec res crop flags")


class Items:
    """A sequence by __getitem__ alone, optionally failing at one index or in __len__."""

    def __init__(self, items, fail_at=None, error=None, length=None):
        self.items, self.fail_at, self.error, self.length = items, fail_at, error, length

    def __getitem__(self, index):
        if index == self.fail_at:
            raise self.error
        return self.items[index]

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return len(self.items) if self.length is None else self.length


class RefusesIteration(Items):
    def __iter__(self):
        raise TypeError("not iterable today")


def _generator():
    yield GOOD


@pytest.mark.parametrize("tasks, error, message", [
    ("abc", TypeError, "argument 'tasks': Can't extract `str` to `Vec`"),
    (Str(""), TypeError, "argument 'tasks': Can't extract `str` to `Vec`"),
    (5, TypeError, "argument 'tasks': 'int' object is not an instance of 'Sequence'"),
    (None, TypeError, "argument 'tasks': 'None' is not an instance of 'Sequence'"),
    ({GOOD: 1}, TypeError, "argument 'tasks': 'dict' object is not an instance of 'Sequence'"),
    ({GOOD}, TypeError, "argument 'tasks': 'set' object is not an instance of 'Sequence'"),
    (_generator(), TypeError,
     "argument 'tasks': 'generator' object is not an instance of 'Sequence'"),
    (b"ab", TypeError, "argument 'tasks': 'int' object is not an instance of 'tuple'"),
    ([GOOD, list(GOOD)], TypeError,
     "argument 'tasks': 'list' object is not an instance of 'tuple'"),
    ([GOOD, list(GOOD[:5])], TypeError,
     "argument 'tasks': 'list' object is not an instance of 'tuple'"),
    ([GOOD, GOOD, GOOD[:5]], ValueError, "expected tuple of length 6, but got tuple of length 5"),
    ([GOOD + ("x",)], ValueError, "expected tuple of length 6, but got tuple of length 7"),
    ([(1, 2, 3)], ValueError, "expected tuple of length 6, but got tuple of length 3"),
    ([()], ValueError, "expected tuple of length 6, but got tuple of length 0"),
    ([GOOD, ("in", "out", "libx264", 720, "", "")], TypeError,
     "argument 'tasks': 'int' object is not an instance of 'str'"),
    ([(None,) * 6], TypeError, "argument 'tasks': 'None' is not an instance of 'str'"),
    ([("in", b"out", "", "", "", "")], TypeError,
     "argument 'tasks': 'bytes' object is not an instance of 'str'"),
    ([GOOD, ("in\udc80", "out", "", "", "", "")], UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udc80' in position 2: surrogates not allowed"),
    (Items([GOOD, GOOD], fail_at=1, error=TypeError("no item 1")), TypeError,
     "argument 'tasks': no item 1"),
    (Items([GOOD, GOOD], fail_at=1, error=RuntimeError("disk gone")), RuntimeError, "disk gone"),
    (RefusesIteration([GOOD]), TypeError, "argument 'tasks': not iterable today"),
    (Items([GOOD], length=KeyboardInterrupt("len")), KeyboardInterrupt, "len"),
    (Items([GOOD], length=SystemExit("len")), SystemExit, "len"),
], ids=["str", "str-subclass", "int", "None", "dict", "set", "generator", "bytes", "list-item",
        "list-item-of-five", "five-members-last", "seven-members", "three-ints", "empty-tuple",
        "int-member", "None-members", "bytes-member", "lone-surrogate", "iteration-TypeError",
        "iteration-RuntimeError", "iter-TypeError", "len-KeyboardInterrupt", "len-SystemExit"])
def test_conversion_errors_start_nothing(engine, fake, tasks, error, message):
    with pytest.raises(error) as raised:
        engine.batch(tasks)
    assert type(raised.value) is error
    assert str(raised.value) == message
    assert fake.invocations() == []


@pytest.mark.parametrize("tasks, count", [
    ([GOOD, GOOD], 2),
    ((GOOD, GOOD, GOOD), 3),
    ([Job(*GOOD), Pair(GOOD)], 2),
    ([tuple(Str(member) for member in GOOD)], 1),
    (collections.deque([GOOD, GOOD]), 2),
    (Items([GOOD, GOOD, GOOD], length=ValueError("no length")), 3),
    (Items([GOOD, GOOD], length=2**40), 2),
    (Items([GOOD, GOOD, GOOD], length=1), 3),
], ids=["list", "tuple", "namedtuple-and-subclass", "str-subclass-members", "deque",
        "len-raises", "len-too-large", "len-too-small"])
def test_accepted_task_lists(engine, fake, tasks, count):
    assert engine.batch(tasks) == [True] * count
    assert len(fake.invocations("ffmpeg")) == count


def test_empty_list_starts_nothing(engine, fake):
    result = engine.batch([])
    assert result == [] and type(result) is list
    assert fake.invocations() == []


def test_failing_second_task(engine, fake):
    flags = engine.batch([task("a.mkv"), task("b@exit=1@.mkv"), task("c.mkv")])
    assert flags == [True, False, True]
    assert all(flag is True or flag is False for flag in flags)
    assert sorted(output_of(r) for r in fake.invocations("ffmpeg")) == [
        "a.mkv", "b@exit=1@.mkv", "c.mkv"]


def test_ffmpegs_messages_name_their_task(engine, fake, capfd):
    fake.output("ffmpeg", "stderr", b"[h264 @ 0x5] error while decoding MB 3 7\n")
    assert engine.batch([task("a@exit=1@.mkv"), task("b.mkv")]) == [False, True]
    console = capfd.readouterr().out
    tag = "  > [\u2726 KESTRIN] FFMPEG | "
    assert ("\n  > [\u2726 KESTRIN] FFmpeg exited with an error.\n"
            f"{tag}a@exit=1@.mkv | [h264 @ 0x5] error while decoding MB 3 7\n") in console
    assert f"\n{tag}b.mkv | 1 message: [h264 @ 0x5] error while decoding MB 3 7\n" in console


def test_flags_in_task_order_when_tasks_end_in_reverse(fake):
    tasks = [sleeping(0.8, 0), sleeping(0.4, 1, "exit=3@"), sleeping(0, 2)]
    assert batch_in_fresh_interpreter(tasks, "3") == [True, False, True]
    ends = sorted(fake.invocations("ffmpeg"), key=lambda r: r["end"])
    assert [output_of(r) for r in ends] == [
        "out2@sleep=0@.mkv", "out1@sleep=0.4@exit=3@.mkv", "out0@sleep=0.8@.mkv"]


def test_missing_ffmpeg_gives_false_for_every_task_and_each_echo(engine, fake, capfd):
    fake.remove("ffmpeg")
    assert engine.batch([task("a.mkv"), task("b.mkv"), task("c.mkv")]) == [False, False, False]
    assert capfd.readouterr().out.count(ECHO) == 3


def test_missing_ffmpeg_gives_false_for_every_task(engine, fake):
    fake.remove("ffmpeg")
    assert engine.batch([task("a.mkv"), task("b.mkv"), task("c.mkv")]) == [False, False, False]
    assert engine.batch([task("a.mkv")]) == [False]


@pytest.mark.parametrize("workers", ["1", "2", "3"])
def test_at_most_the_worker_count_of_children_at_once(fake, workers):
    count = int(workers)
    tasks = [sleeping(0.3, i) for i in range(count + 2)]
    assert batch_in_fresh_interpreter(tasks, workers) == [True] * (count + 2)
    assert most_at_once(fake.invocations("ffmpeg")) == count


def test_short_tasks_do_not_wait_behind_a_long_one(fake):
    # The long task outlasts the three short ones by a wide margin, so that a slow start of the
    # double on a busy machine can't reorder them.
    tasks = [sleeping(2.0, 0), sleeping(0.4, 1), sleeping(0.4, 2), sleeping(0.4, 3)]
    assert batch_in_fresh_interpreter(tasks, "2") == [True] * 4
    records = {output_of(r): r for r in fake.invocations("ffmpeg")}
    long_end = records["out0@sleep=2.0@.mkv"]["end"]
    for short in ("out1@sleep=0.4@.mkv", "out2@sleep=0.4@.mkv", "out3@sleep=0.4@.mkv"):
        assert records[short]["start"] < long_end, short


WORKER_COUNT_SCRIPT = """
import os, kestrin
engine = kestrin.KestEngine()
try:
    engine.batch("abc")
except TypeError as error:
    print("FIRST", error)
for tasks in ([], [TASK], [TASK, TASK]):
    try:
        engine.batch(tasks)
    except ValueError as error:
        print("VALUE", type(error).__name__, str(error))
os.environ["KESTRIN_BATCH_WORKERS"] = "2"
print("LATER", engine.batch([TASK, TASK, TASK]))
"""


@pytest.mark.parametrize("value, shown", [
    ("0", "0"), ("1025", "1025"), ("+2", "+2"), ("2 ", "2 "), ("\u0663", "\u0663"),
    ("\udcff", "\ufffd"),
])
def test_invalid_worker_count_raises_and_creates_no_pool(fake, value, shown):
    code = f"TASK = {GOOD!r}\n" + WORKER_COUNT_SCRIPT
    done = run_in_fresh_interpreter(code, env={"KESTRIN_BATCH_WORKERS": value})
    assert done.returncode == 0, done.stderr.decode()
    message = (f"KESTRIN_BATCH_WORKERS must be a whole number from 1 to 1024 in ASCII digits, "
               f"not '{shown}'")
    assert printed_lines(done) == [
        "FIRST argument 'tasks': Can't extract `str` to `Vec`",
        f"VALUE ValueError {message}",
        f"VALUE ValueError {message}",
        f"VALUE ValueError {message}",
        "LATER [True, True, True]",
    ]
    # Only the later call, with a valid count, started children.
    assert len(fake.invocations("ffmpeg")) == 3


@pytest.mark.parametrize("value", ["", "1024", "0004"])
def test_valid_or_empty_worker_count_runs(fake, value):
    assert batch_in_fresh_interpreter([GOOD, GOOD, GOOD], value) == [True, True, True]


def test_batches_from_several_threads(engine, fake):
    results = {}

    def run(caller):
        tasks = [task(f"t{caller}-{i}" + ("@exit=1@" if i == caller else "") + ".mkv")
                 for i in range(4)]
        results[caller] = engine.batch(tasks)

    threads = [threading.Thread(target=run, args=(caller,)) for caller in range(4)]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(timeout=60)
    assert results == {
        0: [False, True, True, True],
        1: [True, False, True, True],
        2: [True, True, False, True],
        3: [True, True, True, False],
    }
    assert len(fake.invocations("ffmpeg")) == 16


@pytest.mark.parametrize("count", [1, 2])
def test_batch_child_reads_the_null_device(engine, fake, stdin_pipe, count):
    assert engine.batch([GOOD] * count) == [True] * count
    records = fake.invocations("ffmpeg")
    assert len(records) == count
    for record in records:
        assert record["stdin_is_null"] is True
        assert record["stdin"] != stdin_pipe


# Lists, until a stop file appears, the threads of process PID that have a child other than
# this watcher: the thread that starts a child is its parent thread in /proc.
WATCHER = """
import os, sys, time
pid, stop = sys.argv[1], sys.argv[2]
me = str(os.getpid())
seen = set()
print("ready", flush=True)
deadline = time.time() + 30
while not os.path.exists(stop) and time.time() < deadline:
    for tid in os.listdir(f"/proc/{pid}/task"):
        try:
            with open(f"/proc/{pid}/task/{tid}/children") as listing:
                if set(listing.read().split()) - {me}:
                    seen.add(int(tid))
        except OSError:
            pass
    time.sleep(0.005)
print(" ".join(map(str, sorted(seen))))
"""


def starting_threads(engine, tasks, tmp_path):
    stop = tmp_path / f"stop{len(tasks)}"
    watcher = subprocess.Popen([sys.executable, "-c", WATCHER, str(os.getpid()), str(stop)],
                               stdout=subprocess.PIPE, stdin=subprocess.DEVNULL, text=True)
    try:
        assert watcher.stdout.readline() == "ready\n"
        flags = engine.batch(tasks)
    finally:
        stop.touch()
    out, _ = watcher.communicate(timeout=30)
    return flags, {int(tid) for tid in out.split()}


@pytest.mark.skipif(not os.path.exists(f"/proc/self/task/{threading.get_native_id()}/children"),
                    reason="the kernel does not list children per thread")
def test_one_task_runs_on_the_calling_thread(engine, fake, tmp_path):
    flags, threads = starting_threads(engine, [sleeping(0.5, 0)], tmp_path)
    assert flags == [True]
    assert threads == {threading.get_native_id()}
    flags, threads = starting_threads(engine, [sleeping(0.5, 0), sleeping(0.5, 1)], tmp_path)
    assert flags == [True, True]
    assert threads and threading.get_native_id() not in threads


FORK_SCRIPT = """
import json, os, sys, time, warnings
import kestrin
warnings.simplefilter("ignore", DeprecationWarning)  # fork() of a process that has threads
engine = kestrin.KestEngine()
print("PARENT-BEFORE", json.dumps(engine.batch([TASK("a"), TASK("b@exit=1@")])), flush=True)
pid = os.fork()
if pid == 0:
    try:
        flags = engine.batch([TASK("c"), TASK("d"), TASK("e@exit=2@")])
        os.write(1, ("CHILD " + json.dumps(flags) + "\\n").encode())
    finally:
        os._exit(0)
deadline = time.time() + 20
while os.waitpid(pid, os.WNOHANG) == (0, 0):
    if time.time() > deadline:
        os.kill(pid, 9)
        os.waitpid(pid, 0)
        print("CHILD HUNG")
        break
    time.sleep(0.02)
print("PARENT-AFTER", json.dumps(engine.batch([TASK("f@exit=1@"), TASK("g")])), flush=True)
"""


def test_batch_after_fork(fake):
    code = (f"def TASK(name):\n    return {GOOD[:1]!r} + (name + '.mkv',) + {GOOD[2:]!r}\n"
            + FORK_SCRIPT)
    done = run_in_fresh_interpreter(code, timeout=60)
    assert done.returncode == 0, done.stderr.decode()
    assert printed_lines(done) == [
        "PARENT-BEFORE [true, false]",
        "CHILD [true, true, false]",
        "PARENT-AFTER [false, true]",
    ]


def test_three_real_encodes(engine, real_tools, tmp_path):
    clips = [make_sample_clip(tmp_path / f"clip{i}.mkv", seconds=1, size=size, bars=bars)
             for i, (size, bars) in enumerate([("320x240", 32), ("256x192", 16), ("320x240", 0)])]
    outputs = [tmp_path / f"out{i}.mkv" for i in range(3)]
    tasks = [
        (str(clips[0]), str(outputs[0]), "libx264", "120", "320:176:0:32", "-preset ultrafast"),
        (str(clips[1]), str(outputs[1]), "libx264", "96", "crop=256:160:0:16",
         "-preset ultrafast -an"),
        (str(clips[2]), str(outputs[2]), "libx265", "64", "320:240:0:0",
         "-preset ultrafast -x265-params log-level=error"),
    ]
    assert engine.batch(tasks) == [True, True, True]
    videos = [next(s for s in ffprobe_json(o)["streams"] if s["codec_type"] == "video")
              for o in outputs]
    assert [(v["codec_name"], v["width"], v["height"]) for v in videos] == [
        ("h264", 208, 120), ("h264", 144, 96), ("hevc", 80, 64)]
