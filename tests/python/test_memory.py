"""Memory: every method under a low address-space limit ends in a result or an exception, never
an abort, and what probe, get_blackbar_coords and the companions' encode need does not grow with
what the child writes.
Each case runs in a fresh interpreter with RLIMIT_AS set, against shell doubles."""
import json
import textwrap

import pytest

from conftest import SANITIZED, run_in_fresh_interpreter

# AddressSanitizer reserves terabytes of shadow address space: no RLIMIT_AS fits under it.
pytestmark = pytest.mark.skipif(SANITIZED, reason="an address-space limit can't hold ASan")

REPORT_MB = 30
STDERR_MB = 300
ENDLESS_MB = 400
CROP_LINE = "[Parsed_cropdetect_0 @ 0x1] x1:0 x2:63 y1:8 y2:39 w:64 h:32 x:0 y:8 crop=64:32:0:8"
TASK = ("in", "out", "libx264", "720", "", "")
CALLS = {
    "probe": "e.probe('in').width",
    "get_blackbar_coords": "e.get_blackbar_coords('in')",
    "transform": f"e.transform(*{TASK!r})",
    "batch": f"e.batch([{TASK!r}, {TASK!r}])",
    "remux": "e.remux('in', 'out')",
}
EXPECTED = {"probe": 64, "get_blackbar_coords": "64:32:0:8", "transform": True,
            "batch": [True, True], "remux": True}

# The limit is set once everything the call needs from Python is loaded; the outcome is written
# after it is lifted again. The encode's console texts go to the null device.
CHILD = """
import os, resource, sys, kestrin, kestrin_jobs
os.dup2(os.open(os.devnull, os.O_WRONLY), 1)
e = kestrin.KestEngine()
def address_space():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmSize:"):
                return int(line.split()[1]) << 10
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
outcome = None
resource.setrlimit(resource.RLIMIT_AS, (address_space() + ({headroom} << 20), hard))
try:
    outcome = ("ok", {call})
except BaseException as error:
    outcome = error
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
if isinstance(outcome, BaseException):
    outcome = ("raised", type(outcome).__name__, str(outcome))
with open({out!r}, "w") as out:
    out.write(repr(outcome))
"""


@pytest.fixture(scope="module")
def hungry_tools(tmp_path_factory):
    """ffprobe writes a report of REPORT_MB, mostly an array of small integers (the costliest
    shape for a document tree); ffmpeg writes STDERR_MB of short cropdetect lines, except for
    the remux's silent copy, whose standard error is the test's own."""
    folder = tmp_path_factory.mktemp("hungry")
    report = folder / "report.json"
    head = ('{"streams": [{"codec_type": "video", "width": 64, "height": 48}], '
            '"format": {"filename": "in"}, "padding": [')
    with open(report, "w") as out:
        out.write(head)
        out.write("1," * (REPORT_MB << 19))
        out.write("1]}\n")
    json.loads(report.read_text()[: len(head)] + "1]}")  # the head itself is a sound document
    bin_dir = folder / "bin"
    bin_dir.mkdir()
    scripts = {
        "ffprobe": f"exec cat {report}",
        "ffmpeg": 'case " $* " in *" -nostats "*) exit 0;; esac\n'
                  f"yes '{CROP_LINE}' | head -c {STDERR_MB << 20} >&2",
    }
    for name, body in scripts.items():
        path = bin_dir / name
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)
    return bin_dir


@pytest.fixture(scope="module")
def endless_tools(tmp_path_factory):
    """ffmpeg writes ENDLESS_MB without a line end, then its output; ffprobe lists nothing."""
    bin_dir = tmp_path_factory.mktemp("endless") / "bin"
    bin_dir.mkdir()
    scripts = {"ffprobe": "exit 1",
               "ffmpeg": f"head -c {ENDLESS_MB << 20} /dev/zero | tr '\\0' x >&2\n"
                         'for last; do :; done\n: > "$last"'}
    for name, body in scripts.items():
        path = bin_dir / name
        path.write_text("#!/bin/sh\n" + body + "\n")
        path.chmod(0o755)
    return bin_dir


def outcome_under_limit(bin_dir, method, headroom_mb, tmp_path, call=None):
    out = tmp_path / "outcome"
    code = CHILD.format(headroom=headroom_mb, call=call or CALLS[method], out=str(out))
    result = run_in_fresh_interpreter(textwrap.dedent(code), timeout=180,
                                      env={"PATH": f"{bin_dir}:/usr/bin:/bin",
                                           "KESTRIN_BATCH_WORKERS": "2"})
    # A negative return code is a signal: SIGABRT from std::terminate before the fix.
    assert result.returncode == 0, (result.returncode, result.stderr.decode()[-2000:])
    return eval(out.read_text())


@pytest.mark.parametrize("method", list(CALLS))
@pytest.mark.parametrize("headroom_mb", [4, 24, 48, 120])
def test_low_address_space_gives_a_result_or_an_exception(hungry_tools, tmp_path, method,
                                                          headroom_mb):
    kind, value, *message = outcome_under_limit(hungry_tools, method, headroom_mb, tmp_path)
    if kind == "ok":
        assert value == EXPECTED[method]
    elif method == "batch" and value == "PanicException":
        # A worker's stack does not fit either: a pool that can't start is the batch's own fault.
        assert message[0].startswith("the batch worker pool could not start: ")
    else:
        assert (value, message) == ("MemoryError", [""])


@pytest.mark.parametrize("method", ["probe", "get_blackbar_coords"])
def test_memory_is_the_report_and_not_what_the_child_writes(hungry_tools, tmp_path, method):
    # The 30 MB report is kept while it is read; the 300 MB of standard error never are.
    assert outcome_under_limit(hungry_tools, method, 2 * REPORT_MB + 16, tmp_path) == \
        ("ok", EXPECTED[method])


def test_the_companions_cut_a_record_without_a_line_end(endless_tools, tmp_path):
    # The engine's reader is bounded in its own tests; this is the companions' road to it.
    call = (f"kestrin_jobs.transform({str(tmp_path / 'in.mkv')!r}, "
            f"{str(tmp_path / 'out.mkv')!r}, 'libx264', '720', '', '', verify=False)")
    assert outcome_under_limit(endless_tools, None, 16, tmp_path, call) == ("ok", True)


def test_the_boundary_reports_a_fault_when_the_heap_is_exhausted(tmp_path):
    pytest.importorskip("kestrin_fault_hooks", reason="built only with the unit tests")
    out = tmp_path / "outcome"
    code = CHILD.replace("import os,", "import kestrin_fault_hooks, os,").format(
        headroom=32, call="kestrin_fault_hooks.throw_with_heap_exhausted()", out=str(out))
    result = run_in_fresh_interpreter(textwrap.dedent(code), timeout=60)
    assert result.returncode == 0, (result.returncode, result.stderr.decode()[-2000:])
    kind, name, _ = eval(out.read_text())
    assert kind == "raised" and name in ("MemoryError", "PanicException")
