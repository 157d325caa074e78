"""The wheel that pip builds installs into a fresh virtual environment and works there."""
import importlib.util
import os
import pathlib
import shutil
import subprocess
import sys
import zipfile

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]

pytestmark = pytest.mark.skipif(
    importlib.util.find_spec("scikit_build_core") is None,
    reason="scikit-build-core is not installed (Debian 12 has none; the CMake build is used there)")


def test_wheel_installs_and_probes(real_tools, sample_clip, tmp_path):
    source = tmp_path / "source"
    shutil.copytree(REPO, source, ignore=shutil.ignore_patterns("build", ".git", "__pycache__"))
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH",)}
    subprocess.run([sys.executable, "-m", "pip", "wheel", "--no-build-isolation", "--no-deps",
                    "-q", "-w", str(tmp_path / "dist"), str(source)],
                   check=True, env=env, timeout=600, stdin=subprocess.DEVNULL)
    (wheel,) = (tmp_path / "dist").glob("kestrin-*.whl")
    with zipfile.ZipFile(wheel) as archive:
        names = archive.namelist()
        metadata = archive.read(next(n for n in names if n.endswith("METADATA"))).decode()
    assert "kestrin.pyi" in names
    assert {"kestrin_dask/__init__.py", "kestrin_dask/__init__.pyi",
            "kestrin_dask/py.typed"} <= set(names)
    assert "Provides-Extra: dask" in metadata
    assert "Requires-Python: >=3.11" in metadata
    assert "Classifier: Programming Language :: Python :: 3.14" in metadata
    assert "ffprobe" in metadata and "MIT" in metadata

    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", str(venv)], check=True, timeout=300)
    subprocess.run([str(venv / "bin" / "pip"), "install", "-q", "--no-index", str(wheel)],
                   check=True, env=env, timeout=300, stdin=subprocess.DEVNULL)
    smoke = ("import kestrin, kestrin_dask; m = kestrin.KestEngine().probe(%r); "
             "print(kestrin.__file__, m.width)" % str(sample_clip))
    done = subprocess.run([str(venv / "bin" / "python"), "-c", smoke], capture_output=True,
                          text=True, env=env, cwd=tmp_path, timeout=60)
    assert done.returncode == 0, done.stderr
    location, width = done.stdout.split()
    assert location.startswith(str(venv)) and width == "320"
