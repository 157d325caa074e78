"""Shared fixtures: the test doubles for ffmpeg/ffprobe, and tiny real clips made by ffmpeg."""
import functools
import json
import os
import pathlib
import shutil
import subprocess
import sys
import time

import pytest

# Under the sanitizer build the runtimes are preloaded for the module only (see
# tests/sanitized/sitecustomize.py); hypothesis must not time instrumented code.
SANITIZED = bool(os.environ.get("KESTRIN_SANITIZED"))
if SANITIZED:
    from hypothesis import settings as _settings

    _settings.register_profile("sanitized", deadline=None)
    _settings.load_profile("sanitized")


def python_env(extra=None):
    """The environment for a Python interpreter that a test starts and that imports kestrin."""
    env = dict(os.environ)
    for name in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS"):
        saved = env.get("KESTRIN_SAVED_" + name)
        if saved is not None:
            env[name] = saved
    env.update(extra or {})
    return env


def started_encodes(fake):
    """The pids of the double's long encodes that have started, from their marker files."""
    return [int(p.name.split(".")[1]) for p in fake.log.glob("ffmpeg.*.started")]


def running(pid):
    """Whether the process is alive: a zombie is not, since nobody here may reap it."""
    try:
        with open(f"/proc/{pid}/stat") as stat:
            return stat.read().rsplit(")", 1)[1].split()[0] != "Z"
    except FileNotFoundError:
        return False


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


def wait_for(condition, timeout, what):
    """Polls `condition` until it gives a true value, which it returns; fails after `timeout` s."""
    deadline = time.monotonic() + timeout
    while not (value := condition()):
        if time.monotonic() > deadline:
            pytest.fail(f"no {what} within {timeout} s")
        time.sleep(0.05)
    return value


DOUBLES = pathlib.Path(__file__).resolve().parent.parent / "doubles"
REAL_FFMPEG = shutil.which("ffmpeg", path="/usr/bin")
REAL_FFPROBE = shutil.which("ffprobe", path="/usr/bin")


class FakeTools:
    """A PATH holding only the chosen doubles, plus helpers to drive and read them."""

    def __init__(self, root: pathlib.Path, monkeypatch):
        self.bin = root / "bin"
        self.log = root / "log"
        self.bin.mkdir()
        self.log.mkdir()
        self.root = root
        self._monkeypatch = monkeypatch
        for name in list(os.environ):
            if name.startswith("FAKE_"):
                monkeypatch.delenv(name)
        monkeypatch.setenv("PATH", str(self.bin))
        monkeypatch.setenv("FAKE_LOG_DIR", str(self.log))
        self.install("ffmpeg", "ffprobe")
        # The double's output is 4096 bytes of "x", which no verification could hold: the
        # companions' encodes here are not verified (test_verify checks that with real files).
        from kestrin_jobs import _runner, _verify
        monkeypatch.setattr(_runner.Attempt, "_verified",
                            lambda *_: _verify.Verification(True, (), (), False))

    def install(self, *programs):
        for program in programs:
            link = self.bin / program
            if not link.exists():
                link.symlink_to(DOUBLES / "fake_media_tool.py")

    def remove(self, *programs):
        for program in programs:
            (self.bin / program).unlink(missing_ok=True)

    def set(self, key, value, program=None):
        name = f"FAKE_{program.upper()}_{key.upper()}" if program else f"FAKE_{key.upper()}"
        self._monkeypatch.setenv(name, str(value))

    def output(self, program, stream, data, when=""):
        """Makes `program` write `data` (bytes or str) to `stream` ("stdout" or "stderr");
        with when="seeking", only where it is given "-ss"."""
        key = f"{when}_{stream}" if when else stream
        path = self.root / f"{program}.{key}"
        path.write_bytes(data.encode() if isinstance(data, str) else data)
        self.set(f"{key}_file", path, program)

    def invocations(self, program=None):
        records = [json.loads(p.read_text()) for p in self.log.glob("*.json")]
        records = [r for r in records if program is None or r["program"] == program]
        return sorted(records, key=lambda r: r["start"])


@pytest.fixture
def fake(tmp_path, monkeypatch):
    return FakeTools(tmp_path, monkeypatch)


@pytest.fixture
def stdin_pipe():
    """Standard input replaced by a pipe for the test, to tell inherited from null input."""
    read_end, write_end = os.pipe()
    saved = os.dup(0)
    os.dup2(read_end, 0)
    info = os.fstat(0)
    try:
        yield f"{info.st_dev}:{info.st_ino}"
    finally:
        os.dup2(saved, 0)
        for fd in (saved, read_end, write_end):
            os.close(fd)


@pytest.fixture
def engine():
    import kestrin

    return kestrin.KestEngine()


def _require_real_tools():
    if not (REAL_FFMPEG and REAL_FFPROBE):
        pytest.skip("the real ffmpeg and ffprobe are not installed in /usr/bin")


def make_sample_clip(path: pathlib.Path, seconds=2, size="320x240", bars=32, rate=25):
    """A letterboxed picture, two audio tracks, a subtitle track, chapters and global tags."""
    width, height = (int(v) for v in size.split("x"))
    subtitles = path.with_suffix(".srt")
    subtitles.write_text("1\n00:00:00,000 --> 00:00:01,000\nHello\n\n"
                         "2\n00:00:01,000 --> 00:00:02,000\nWorld\n")
    chapters = path.with_suffix(".chapters")
    half = seconds * 500
    chapters.write_text(";FFMETADATA1\ntitle=Sample title\ncomment=Sample comment\n"
                        f"[CHAPTER]\nTIMEBASE=1/1000\nSTART=0\nEND={half}\ntitle=Opening\n"
                        f"[CHAPTER]\nTIMEBASE=1/1000\nSTART={half}\nEND={seconds * 1000}\n"
                        "title=Ending\n")
    inner = height - 2 * bars
    picture = (f"testsrc2=size={width}x{inner}:rate={rate}:duration={seconds},"
               f"pad={width}:{height}:0:{bars}:black")
    subprocess.run(
        [REAL_FFMPEG, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
         "-f", "lavfi", "-i", picture,
         "-f", "lavfi", "-i", f"sine=frequency=440:duration={seconds}",
         "-f", "lavfi", "-i", f"sine=frequency=880:duration={seconds}",
         "-i", str(subtitles), "-i", str(chapters),
         "-map", "0:v", "-map", "1:a", "-map", "2:a", "-map", "3:s",
         "-map_metadata", "4", "-map_chapters", "4",
         "-metadata:s:a:0", "language=eng", "-metadata:s:a:0", "title=Main",
         "-metadata:s:a:1", "language=fra", "-metadata:s:a:1", "title=Commentary",
         "-metadata:s:s:0", "language=deu",
         "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p",
         "-c:a", "aac", "-c:s", "mov_text" if path.suffix == ".mp4" else "srt", str(path)],
        check=True, stdin=subprocess.DEVNULL)
    return path


@pytest.fixture(scope="session")
def sample_clip(tmp_path_factory):
    _require_real_tools()
    return make_sample_clip(tmp_path_factory.mktemp("clips") / "sample.mkv")


@pytest.fixture(scope="session")
def real_world_corpus(tmp_path_factory):
    """The files of tests/python/real_world.py, made once per session."""
    _require_real_tools()
    import real_world

    return real_world.make_corpus(REAL_FFMPEG, tmp_path_factory.mktemp("real-world"))


@pytest.fixture
def real_tools(monkeypatch):
    _require_real_tools()
    monkeypatch.setenv("PATH", "/usr/bin:/bin")


def ffprobe_json(path, *extra):
    out = subprocess.run([REAL_FFPROBE, "-v", "quiet", "-print_format", "json", "-show_format",
                          "-show_streams", *extra, str(path)],
                         check=True, capture_output=True, stdin=subprocess.DEVNULL).stdout
    return json.loads(out)


def run_in_fresh_interpreter(code, env=None, timeout=120):
    """Runs `code` in a new interpreter (for process-wide state such as the worker pool)."""
    return subprocess.run([sys.executable, "-c", code], env=python_env(env), capture_output=True,
                          timeout=timeout, stdin=subprocess.DEVNULL)


@functools.cache
def mypy_missing_reason():
    """Why mypy cannot run under this interpreter, or None when it can. Debian builds its mypy
    for some of the Pythons it ships only: elsewhere the package is there but does not import."""
    done = subprocess.run([sys.executable, "-c", "import mypy.main, mypy.stubtest"],
                          capture_output=True, text=True, timeout=120, stdin=subprocess.DEVNULL)
    if done.returncode == 0:
        return None
    last = (done.stderr.strip().splitlines() or ["it does not import"])[-1]
    return f"mypy does not run under Python {sys.version_info.major}.{sys.version_info.minor}: {last}"


def pytest_configure(config):
    config.addinivalue_line("markers", "real_media: runs the real ffmpeg/ffprobe on generated clips")


def pytest_collection_modifyitems(config, items):
    # Every test that makes or uses a real clip is marked, so that quick passes can leave them out.
    for item in items:
        used = set(getattr(item, "fixturenames", ()))
        if {"real_tools", "sample_clip", "real_world_corpus"} & used:
            item.add_marker(pytest.mark.real_media)
