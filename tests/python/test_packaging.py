"""What a user's own tools meet: the built module exports its entry point only, and the wheel
that pip builds installs into a fresh virtual environment where it works and type checkers find
its stubs."""
import importlib.util
import os
import pathlib
import re
import shutil
import subprocess
import sys
import textwrap
import zipfile

import pytest

from conftest import SANITIZED, mypy_missing_reason

REPO = pathlib.Path(__file__).resolve().parents[2]
# The Pythons that ./run test builds and tests the module with; the wheel claims exactly these.
TESTED_PYTHONS = ["3.11", "3.13", "3.14", "3.15"]


def defined_dynamic_symbols(module_file):
    nm = shutil.which("nm") or shutil.which("nm", path="/usr/bin")
    if nm is None:
        pytest.skip("nm (binutils) is not installed")
    listing = subprocess.run([nm, "--dynamic", "--defined-only", "--format=posix",
                              str(module_file)], check=True, capture_output=True, text=True,
                             stdin=subprocess.DEVNULL).stdout
    return sorted(line.split()[0] for line in listing.splitlines())


@pytest.mark.parametrize("module", ["kestrin", "kestrin_fault_hooks"])
def test_built_module_exports_its_entry_point_only(module):
    found = importlib.util.find_spec(module)
    if found is None:
        pytest.skip(f"{module} is not built here (the fault hooks come with the unit tests)")
    assert defined_dynamic_symbols(found.origin) == [f"PyInit_{module}"]


class Installed:
    """The wheel built from a copy of the source, installed into a fresh virtual environment."""

    def __init__(self, root: pathlib.Path):
        source = root / "source"
        shutil.copytree(REPO, source, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
        # What a user's shell has: no PYTHONPATH into a build folder, no MYPYPATH.
        self.env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "MYPYPATH")}
        subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                        "-q", "-w", str(root / "dist"), str(source)],
                       check=True, env=self.env, timeout=900, stdin=subprocess.DEVNULL)
        (self.wheel,) = (root / "dist").glob("kestrin-*.whl")
        self.venv = root / "venv"
        # Debian's type checkers and pytest live in the system's site-packages.
        subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(self.venv)],
                       check=True, timeout=300, stdin=subprocess.DEVNULL)
        self.python = self.venv / "bin" / "python"
        subprocess.run([str(self.python), "-m", "pip", "install", "-q", "--no-index",
                        str(self.wheel)],
                       check=True, env=self.env, timeout=300, stdin=subprocess.DEVNULL)
        # A neutral folder to run from: nothing of the repository beside the scripts.
        self.scratch = root / "scratch"
        self.scratch.mkdir()

    def run(self, *args, timeout=300):
        return subprocess.run([str(self.python), *map(str, args)], capture_output=True, text=True,
                              env=self.env, cwd=self.scratch, timeout=timeout,
                              stdin=subprocess.DEVNULL)


@pytest.fixture(scope="module")
def installed(tmp_path_factory):
    if importlib.util.find_spec("scikit_build_core") is None:
        pytest.skip("scikit-build-core is not installed (Debian 12 has none; the CMake build "
                    "is used there)")
    if SANITIZED:
        pytest.skip("the wheel is a plain build; the sanitizer run checks the build folder's "
                    "module")
    return Installed(tmp_path_factory.mktemp("wheel"))


def test_wheel_holds_the_module_and_its_stub_package(installed):
    with zipfile.ZipFile(installed.wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith("/METADATA"))).decode()
    payload = sorted(n for n in names if ".dist-info/" not in n)
    module, engine = sorted(n for n in payload if n.endswith(".so"))
    assert re.fullmatch(r"kestrin\.cpython-\d+d?-[\w-]+\.so", module), payload
    assert re.fullmatch(r"kestrin_jobs/_engine\.cpython-\d+d?-[\w-]+\.so", engine), payload
    assert [n for n in payload if n not in (module, engine)] == [
        "kestrin-stubs/__init__.pyi",
        "kestrin_dask/__init__.py", "kestrin_dask/__init__.pyi", "kestrin_dask/py.typed",
        "kestrin_jobs/__init__.py", "kestrin_jobs/_engine.pyi", "kestrin_jobs/_quality.py",
        "kestrin_jobs/_report.py", "kestrin_jobs/_runner.py", "kestrin_jobs/_verify.py",
        "kestrin_jobs/py.typed",
    ]
    assert "Provides-Extra: dask" in metadata
    assert "Requires-Python: >=3.11" in metadata
    claimed = re.findall(r"^Classifier: Programming Language :: Python :: (3\.\d+)$", metadata,
                         re.MULTILINE)
    assert claimed == TESTED_PYTHONS
    assert "Classifier: Typing :: Typed" in metadata.splitlines()
    assert "ffprobe" in metadata and "MIT" in metadata


def test_installed_module_probes_and_exports_its_entry_point_only(installed, real_tools,
                                                                  sample_clip):
    done = installed.run("-c", "import kestrin, kestrin_dask, kestrin_jobs; "
                         "m = kestrin.KestEngine().probe(%r); print(kestrin.__file__, m.width)"
                         % str(sample_clip))
    assert done.returncode == 0, done.stderr
    location, width = done.stdout.split()
    assert location.startswith(str(installed.venv)) and width == "320"
    assert defined_dynamic_symbols(location) == ["PyInit_kestrin"]


EVERY_METHOD = """
import kestrin

engine: kestrin.KestEngine = kestrin.KestEngine()
meta: kestrin.VideoMetadata = engine.probe("film.mkv")
size: tuple[int, int] = (meta.width, meta.height)
seconds: float = meta.duration
texts: list[str] = [meta.filename, meta.codec, meta.pix_fmt, meta.bitrate]
crop: str = engine.get_blackbar_coords("film.mkv")
encoded: bool = engine.transform("film.mkv", "out.mkv", "libx265", "720", crop, "-crf 20")
copied: bool = engine.remux("film.mkv", "film.mp4")
flags: list[bool] = engine.batch([("a.mkv", "a.out.mkv", "libx264", "480", "", "-crf 23")])

import asyncio
import kestrin_jobs

def show(progress: kestrin_jobs.Progress) -> None:
    left: float | None = progress.speed and (60.0 - progress.time) / progress.speed
    print(progress.frame, progress.fps, progress.size, left, progress.line)

done: bool = kestrin_jobs.transform("film.mkv", "out.mkv", "libx264", "480", "", "",
                                    on_progress=show)
later: bool = asyncio.run(kestrin_jobs.transform_async("film.mkv", "out.mkv", "libx264", "480",
                                                       "", ""))
for position, result in kestrin_jobs.encode_all([("a.mkv", "b.mkv", "libx264", "480", "", "")],
                                                workers=2, on_progress=lambda i, p: show(p)):
    ended: bool | BaseException = result
checked: kestrin_jobs.Verification = kestrin_jobs.verify("film.mkv", "out.mkv", codec="libx264",
                                                         flags="-t 2", decode=True)
findings: tuple[str, ...] = checked.problems
found: kestrin_jobs.CrfResult = kestrin_jobs.search_crf("film.mkv", "libx265", "480", "", "",
                                                        target=40.0, criterion="worst")
chosen: str = f"-crf {found.crf:g}"
steps: list[tuple[float, float]] = [(p.crf, p.score) for p in found.probes]
expected: int = found.predicted_size
"""


# Three mistakes a type checker must catch, one a line.
MISTAKES = """\
import kestrin
kestrin.KestEngine().probe(b"film.mkv")
kestrin.KestEngine().probe("film.mkv").width = 1
class Mine(kestrin.KestEngine): ...
"""


def test_mypy_strict_reads_the_installed_stubs(installed):
    if reason := mypy_missing_reason():
        pytest.skip(reason)
    (installed.scratch / "every_method.py").write_text(EVERY_METHOD)
    (installed.scratch / "mistakes.py").write_text(MISTAKES)
    mypy = ("-m", "mypy", "--strict", "--no-incremental", "--cache-dir", os.devnull)
    done = installed.run(*mypy, "every_method.py")
    assert (done.returncode, done.stdout) == (0, "Success: no issues found in 1 source file\n"), \
        done.stdout + done.stderr
    done = installed.run(*mypy, "mistakes.py")
    assert done.returncode == 1
    assert [line for line in done.stdout.splitlines() if ": error: " in line] == [
        'mistakes.py:2: error: Argument 1 to "probe" of "KestEngine" has incompatible type '
        '"bytes"; expected "str"  [arg-type]',
        'mistakes.py:3: error: Property "width" defined in "VideoMetadata" is read-only  [misc]',
        'mistakes.py:4: error: Cannot inherit from final class "KestEngine"  [misc]',
    ]


def test_stubtest_finds_the_installed_stubs_and_they_match(installed):
    if reason := mypy_missing_reason():
        pytest.skip(reason)
    # kestrin_dask's stubs name distributed's Client: without Dask they cannot be checked.
    dask = ["kestrin_dask"] if importlib.util.find_spec("distributed") else []
    done = installed.run("-m", "mypy.stubtest", "kestrin", *dask)
    assert done.returncode == 0, done.stdout + done.stderr


def test_pyright_reads_the_installed_stubs(installed):
    pyright = shutil.which("pyright")
    if pyright is None:
        pytest.skip("pyright is not installed (Debian ships none)")
    (installed.scratch / "user.py").write_text(
        EVERY_METHOD + 'engine.probe(b"film.mkv")\n')
    # As in an activated virtual environment: pyright takes its interpreter from PATH.
    env = dict(installed.env, PATH=f"{installed.venv / 'bin'}:{installed.env.get('PATH', '')}",
               VIRTUAL_ENV=str(installed.venv))
    done = subprocess.run([pyright, "user.py"], capture_output=True, text=True, env=env,
                          cwd=installed.scratch, timeout=300, stdin=subprocess.DEVNULL)
    # Without the stubs the module's types are unknown to pyright and it reports nothing.
    errors = [line.strip() for line in done.stdout.splitlines() if " - error: " in line]
    assert len(errors) == 1, done.stdout
    line = EVERY_METHOD.count("\n") + 1
    assert re.search(rf'user\.py:{line}:\d+ - error: .*parameter "path" of type "str" in '
                     r'function "probe"', errors[0]), done.stdout
