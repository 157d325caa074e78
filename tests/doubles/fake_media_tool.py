#!/usr/bin/python3 -IS
"""Test double for ffmpeg and ffprobe (installed under those names in a folder put on PATH).

Behaviour comes from the environment, per program first: FAKE_FFMPEG_<KEY>, then FAKE_<KEY>;
and per invocation from any argument holding "@key=value" pieces, each closed by "@"
(for example an output named "out@sleep=1.2@exit=1@.mkv"). An invocation given "-ss" (black-bar
detection's sampling run) looks for FAKE_<PROGRAM>_SEEKING_<KEY> before those. Keys:
  stdout_file, stderr_file   copy that file's bytes to the stream
  stdout_bytes, stderr_bytes write that many bytes of "x" to the stream
  stderr_chunk               write stderr_file in pieces of this many bytes, flushed one by one
  chunk_pause                seconds to wait between those pieces
  sleep                      seconds to sleep before ending
  exit                       exit status (default 0)
  signal                     end by this signal number instead
  stats_for                  seconds of a running encode: a statistics record every 0.2 s,
                             then the last argument (the output) is written, 4096 bytes; with
                             FAKE_LOG_DIR, a file "<program>.<pid>.started" marks its start
  starve_parent              seconds for which the parent may open no descriptor (its soft
                             RLIMIT_NOFILE at 0, so that its poll fails), from the start
If FAKE_LOG_DIR is set, each invocation writes a JSON record there: argv, pid, start and end
times (time.monotonic is not shared between processes, so wall-clock time.time is used), the
identity of standard input ("device:inode") and whether it is the null device, the descriptors
open at start ("fds": number to what it refers to) and the buffer size of standard output and
error where they are pipes ("pipe_sizes").
"""
import fcntl
import json
import os
import re
import resource
import signal
import stat
import sys
import time

start = time.time()
program = os.path.basename(sys.argv[0])
overrides = {}
for argument in sys.argv[1:]:
    for key, value in re.findall(r"@(\w+)=([^@]*)(?=@)", argument):
        overrides[key] = value


seeking = "-ss" in sys.argv[1:]


def setting(key, default=None):
    if key in overrides:
        return overrides[key]
    names = [f"FAKE_{program.upper()}_{key.upper()}", f"FAKE_{key.upper()}"]
    if seeking:
        names.insert(0, f"FAKE_{program.upper()}_SEEKING_{key.upper()}")
    for name in names:
        if name in os.environ:
            return os.environ[name]
    return default


def stdin_identity():
    try:
        info = os.fstat(0)
    except OSError:
        return None, False
    null = stat.S_ISCHR(info.st_mode) and (os.major(info.st_rdev), os.minor(info.st_rdev)) == (1, 3)
    return f"{info.st_dev}:{info.st_ino}", null


def emit(fd, file_key, bytes_key):
    name = setting(file_key)
    if name:
        with open(name, "rb") as source:
            data = source.read()
        chunk = int(setting("stderr_chunk", "0") or 0) if fd == 2 else 0
        pause = float(setting("chunk_pause", "0") or 0)
        if chunk > 0:
            for at in range(0, len(data), chunk):
                os.write(fd, data[at : at + chunk])
                if pause:
                    time.sleep(pause)
        else:
            write_all(fd, data)
    count = int(setting(bytes_key, "0") or 0)
    block = b"x" * 65536
    while count > 0:
        count -= write_all(fd, block[: min(count, len(block))])


def write_all(fd, data):
    view = memoryview(data)
    while view:
        view = view[os.write(fd, view) :]
    return len(data)


def open_descriptors():
    found = {}
    for name in os.listdir("/proc/self/fd"):
        try:
            found[name] = os.readlink(f"/proc/self/fd/{name}")
        except OSError:
            pass  # the descriptor that listed the folder, closed by now
    return found


def pipe_sizes():
    sizes = {}
    for fd in (1, 2):
        try:
            sizes[str(fd)] = fcntl.fcntl(fd, fcntl.F_GETPIPE_SZ)
        except OSError:
            pass  # not a pipe
    return sizes


def starve_parent(seconds):
    """Makes the parent's next poll fail (EINVAL) for a while, then gives its limit back."""
    parent = os.getppid()
    limits = resource.prlimit(parent, resource.RLIMIT_NOFILE)
    resource.prlimit(parent, resource.RLIMIT_NOFILE, (0, limits[1]))
    # A first record wakes the parent, whose next poll then fails.
    os.write(2, b"frame=1 starved\n")
    time.sleep(seconds)
    resource.prlimit(parent, resource.RLIMIT_NOFILE, limits)


stdin_id, null_input = stdin_identity()
descriptors, sizes = open_descriptors(), pipe_sizes()
starving = float(setting("starve_parent", "0") or 0)
if starving:
    starve_parent(starving)
emit(1, "stdout_file", "stdout_bytes")
emit(2, "stderr_file", "stderr_bytes")
time.sleep(float(setting("sleep", "0") or 0))
encode_seconds = float(setting("stats_for", "0") or 0)
if encode_seconds:
    if os.environ.get("FAKE_LOG_DIR"):
        open(os.path.join(os.environ["FAKE_LOG_DIR"], f"{program}.{os.getpid()}.started"), "w").close()
    frame = 0
    while time.time() - start < encode_seconds:
        frame += 1
        os.write(2, f"frame={frame:5d} fps= 25 q=28.0 size=  {frame}KiB speed=1x    \r".encode())
        time.sleep(0.2)
    os.write(2, f"frame={frame:5d} fps= 25 q=-1.0 Lsize=  {frame}KiB speed=1x    \n".encode())
    with open(sys.argv[-1], "wb") as output:
        output.write(b"\0" * 4096)
log_dir = os.environ.get("FAKE_LOG_DIR")
if log_dir:
    record = {
        "program": program,
        "argv": sys.argv,
        "pid": os.getpid(),
        "start": start,
        "end": time.time(),
        "stdin": stdin_id,
        "stdin_is_null": null_input,
        "fds": descriptors,
        "pipe_sizes": sizes,
    }
    path = os.path.join(log_dir, f"{program}.{os.getpid()}.{time.time_ns()}.json")
    with open(path + ".tmp", "w") as out:
        json.dump(record, out)
    os.rename(path + ".tmp", path)
number = setting("signal")
if number:
    # SIGKILL and SIGSTOP have no disposition to set.
    if int(number) not in (signal.SIGKILL, signal.SIGSTOP):
        signal.signal(int(number), signal.SIG_DFL)
    os.kill(os.getpid(), int(number))
sys.exit(int(setting("exit", "0") or 0))
