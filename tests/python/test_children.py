"""What a child gets from the module: only the standard descriptors, pipes sized for their use,
and a start failure reported as OSError whatever the process locale."""
import fcntl
import os
import shutil
import socket
import subprocess

import pytest

REPORT = ('{"streams": [{"codec_type": "video", "width": 64, "height": 48}], '
          '"format": {"filename": "x.mkv"}}')
TASK = ("in", "out", "libx264", "720", "", "")

CALLS = {
    "probe": lambda e: e.probe("x"),
    "get_blackbar_coords": lambda e: e.get_blackbar_coords("x"),
    "transform": lambda e: e.transform(*TASK),
    "remux": lambda e: e.remux("in", "out"),
    "batch": lambda e: e.batch([TASK, TASK]),
}


@pytest.fixture
def inheritable_socket_and_file(tmp_path):
    """What a server might hold without close-on-exec: a listening socket and a log file."""
    server = socket.socket()
    server.bind(("127.0.0.1", 0))
    server.listen()
    server.set_inheritable(True)
    log = open(tmp_path / "service.log", "w")
    os.set_inheritable(log.fileno(), True)
    yield
    server.close()
    log.close()


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_children_get_only_the_standard_descriptors(engine, fake, inheritable_socket_and_file,
                                                    call):
    fake.output("ffprobe", "stdout", REPORT)
    call(engine)
    records = fake.invocations()
    assert records
    assert [sorted(r["fds"]) for r in records] == [["0", "1", "2"]] * len(records)


def roomy_pipe_size():
    """What asking for a 1 MiB pipe gives on this system (the default where it refuses)."""
    read_end, write_end = os.pipe()
    try:
        try:
            fcntl.fcntl(write_end, fcntl.F_SETPIPE_SZ, 1 << 20)
        except OSError:
            pass
        return fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)
    finally:
        os.close(read_end)
        os.close(write_end)


def test_only_the_probe_report_gets_a_roomy_pipe(engine, fake):
    read_end, write_end = os.pipe()
    default = fcntl.fcntl(write_end, fcntl.F_GETPIPE_SZ)
    os.close(read_end)
    os.close(write_end)
    roomy = roomy_pipe_size()
    fake.output("ffprobe", "stdout", REPORT)
    engine.get_blackbar_coords("x")  # ffprobe, then ffmpeg's cropdetect run
    engine.transform(*TASK)  # each encode: the stream listing, then ffmpeg
    engine.batch([TASK, TASK])

    def pipes(record):
        sizes = record["pipe_sizes"]
        # An encode's standard output is inherited: whatever it is, only standard error is ours.
        if record["program"] == "ffmpeg" and "-stats" in record["argv"]:
            sizes = {"2": sizes["2"]}
        return record["program"], sorted(sizes.items())

    runs = [pipes(r) for r in fake.invocations()]
    standard = [("1", default), ("2", default)]
    assert runs[:2] == [("ffprobe", [("1", roomy), ("2", default)]), ("ffmpeg", standard)]
    # The batch's runs overlap in time: their order is not fixed.
    assert sorted(runs[2:]) == [("ffmpeg", [("2", default)])] * 3 + [("ffprobe", standard)] * 3


@pytest.fixture
def latin1_locale(tmp_path_factory):
    """A French locale in ISO-8859-1, compiled on the spot, set for the whole process."""
    import locale

    localedef = shutil.which("localedef", path="/usr/bin:/bin")
    if not localedef or not os.path.isfile("/usr/share/i18n/locales/fr_FR") or not any(
            os.path.exists(f"/usr/share/i18n/charmaps/ISO-8859-1{ext}") for ext in ("", ".gz")):
        pytest.skip("no locale sources to compile fr_FR.ISO-8859-1 from")
    if not os.path.exists("/usr/share/locale/fr/LC_MESSAGES/libc.mo"):
        pytest.skip("the C library's French messages (libc-l10n) are not installed")
    folder = tmp_path_factory.mktemp("locales")
    # localedef unpacks the character map with gzip, found on PATH.
    subprocess.run([localedef, "-i", "fr_FR", "-f", "ISO-8859-1",
                    str(folder / "fr_FR.ISO-8859-1")],
                   check=True, capture_output=True, env={"PATH": "/usr/bin:/bin"})
    saved = locale.setlocale(locale.LC_ALL)
    os.environ["LOCPATH"] = str(folder)
    try:
        locale.setlocale(locale.LC_ALL, "fr_FR.ISO-8859-1")
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)
        del os.environ["LOCPATH"]


@pytest.mark.parametrize("call", CALLS.values(), ids=CALLS.keys())
def test_start_failure_is_an_os_error_in_a_latin1_locale(engine, fake, latin1_locale, call):
    # EACCES reads "Permission non accordée" in this locale: not UTF-8, so the "C" text serves.
    for program in ("ffmpeg", "ffprobe"):
        (fake.bin / program).unlink()
        (fake.bin / program).write_text("#!/bin/sh\n")
        (fake.bin / program).chmod(0o644)
    try:
        result = call(engine)
    except OSError as error:
        assert type(error) is OSError
        assert str(error) == "Permission denied (os error 13)"
    else:
        assert result == [False, False]  # batch reports a start failure per task


def test_a_message_that_is_utf8_in_the_locale_is_kept(engine, fake, latin1_locale):
    fake.remove("ffprobe")
    with pytest.raises(OSError) as raised:
        engine.probe("x")
    # The wording differs between C library versions ("... de ce type", "... de ce nom").
    assert str(raised.value) == os.strerror(2) + " (os error 2)"
    assert str(raised.value).startswith("Aucun fichier ou dossier")
