"""transform: the command echo, the live progress line, the banner, and real encodes."""
import os
import subprocess
import sys
import tempfile
import time

import pytest

from conftest import REAL_FFMPEG, ffprobe_json, python_env

TASK = ("in.mkv", "out.mkv", "libx265", "720", "1920:800:0:140", "-crf 20")
ARGV = ["-y", "-hide_banner", "-loglevel", "error", "-stats", "-i", "in.mkv", "-map", "0",
        "-dn", "-map_metadata:g", "-1", "-map_chapters", "0", "-vf",
        "crop=1920:800:0:140,scale=w='trunc(oh*a/16)*16':h=720:flags=lanczos,setsar=1",
        "-fps_mode", "cfr", "-c:v", "libx265", "-pix_fmt", "yuv420p10le", "-profile:v", "main10",
        "-x265-params", "aq-mode=3:strong-intra-smoothing=0:sao=0", "-c:a", "copy", "-c:s",
        "copy", "-crf", "20", "out.mkv"]
ECHO = (b"\n  > [DEBUG] CMD: ffmpeg -y -hide_banner -loglevel error -stats -i in.mkv -map 0 "
        b"-dn -map_metadata:g -1 -map_chapters 0 -vf "
        b"crop=1920:800:0:140,scale=w='trunc(oh*a/16)*16':h=720:flags=lanczos,setsar=1 "
        b"-fps_mode cfr -c:v libx265 -pix_fmt yuv420p10le -profile:v main10 "
        b"-x265-params aq-mode=3:strong-intra-smoothing=0:sao=0 -c:a copy -c:s copy -crf 20 "
        b"out.mkv\n")
PROGRESS = b"\r\x1b[2K  > [\xe2\x9c\xa6 KESTRIN] ENCODE | "
BANNER = b"\n  > [\xe2\x9c\xa6 KESTRIN] FFmpeg exited with an error.\n"
FFMPEG = b"  > [\xe2\x9c\xa6 KESTRIN] FFMPEG | "

# Records as ffmpeg 9 writes them: "\r" after each, "\n" only after the last.
R0 = (b"frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A "
      b"elapsed=0:00:00.20    \r")
T0 = b"frame=    0 fps=0.0 q=0.0 size=       0KiB time=N/A bitrate=N/A speed=N/A elapsed=0:00:00.20"
R1 = (b"frame=   32 fps= 32 q=28.0 size=       0KiB time=00:00:01.24 bitrate=N/A speed=1.2x "
      b"elapsed=0:00:01.00    \r")
T1 = (b"frame=   32 fps= 32 q=28.0 size=       0KiB time=00:00:01.24 bitrate=N/A speed=1.2x "
      b"elapsed=0:00:01.00")
R2 = (b"frame=  100 fps= 48 q=-1.0 Lsize=     300KiB time=00:00:03.92 bitrate= 626.6kbits/s "
      b"speed=1.89x elapsed=0:00:02.06    \n")
T2 = (b"frame=  100 fps= 48 q=-1.0 Lsize=     300KiB time=00:00:03.92 bitrate= 626.6kbits/s "
      b"speed=1.89x elapsed=0:00:02.06")


def on_console(call):
    """Runs `call` with file descriptor 1 on a file; gives its result (or exception) and the bytes."""
    sys.stdout.flush()
    with tempfile.TemporaryFile() as sink:
        saved = os.dup(1)
        os.dup2(sink.fileno(), 1)
        try:
            result = call()
        except Exception as error:  # noqa: BLE001 - handed back for the test to judge
            result = error
        finally:
            os.dup2(saved, 1)
            os.close(saved)
        sink.seek(0)
        return result, sink.read()


DECODE_ERRORS = b"".join(b"[h264 @ 0x5] error while decoding MB %d 7\n" % n for n in range(30))


@pytest.mark.parametrize("stderr, settings, texts, after", [
    pytest.param(R0 + R1 + R2, {}, [T0, T1, T2], b"", id="ffmpeg 9 records"),
    pytest.param(R0 + R1 + R2, {"stderr_chunk": 3}, [T0, T1, T2], b"", id="records in small writes"),
    pytest.param(b"x265 [info]: HEVC encoder version 3.5\r\n"
                 b"frame=   10 fps=0.0 q=0.0 size=N/A time=00:00:00.40 bitrate=N/A speed=   0x    \r\n"
                 b"x265 [info]: frame I:      1, Avg QP:27.09  kb/s: 921.60\n",
                 {}, [b"frame=   10 fps=0.0 q=0.0 size=N/A time=00:00:00.40 bitrate=N/A speed=   0x"],
                 b"", id="ffmpeg 5.1 with x265 lines"),
    pytest.param(b"frame=1 a\rframe=2 b\n", {}, [b"frame=1 a", b"frame=2 b"], b"",
                 id="both records shown"),
    pytest.param(R0 + b"frame=   16 q=\xff\xfe    \r" + R1, {}, [T0, T1], b"", id="invalid utf-8 skipped"),
    pytest.param(R0 + b"\t old frame=   50 fps= 25 Lsize=  9KiB", {}, [T0, b"frame=   50 fps= 25 Lsize=  9KiB"],
                 b"", id="last record without terminator"),
    pytest.param(b"", {}, [], b"", id="silent success"),
    # A damaged source: ffmpeg conceals and exits 0; its complaints are counted after the progress.
    pytest.param(R0 + DECODE_ERRORS + R2, {}, [T0, T2],
                 b"\n" + FFMPEG + b"30 messages, the first: [h264 @ 0x5] error while decoding MB 0 7\n",
                 id="decode errors on the way"),
])
def test_console_of_a_successful_run(engine, fake, stderr, settings, texts, after):
    fake.output("ffmpeg", "stderr", stderr)
    for key, value in settings.items():
        fake.set(key, value, "ffmpeg")
    result, console = on_console(lambda: engine.transform(*TASK))
    assert result is True
    # Nothing after the last progress text but ffmpeg's messages: without them the cursor stays
    # on the progress line.
    assert console == ECHO + b"".join(PROGRESS + text for text in texts) + after


@pytest.mark.parametrize("stderr, setting, texts, reasons", [
    pytest.param(R0 + b"[out#0/matroska @ 0x55d0] Error muxing a packet\nConversion failed!\n",
                 ("exit", 1), [T0], [b"[out#0/matroska @ 0x55d0] Error muxing a packet",
                                     b"Conversion failed!"], id="exit 1"),
    pytest.param(b"Unrecognized option 'vsync'.\nError splitting the argument list\n",
                 ("exit", 8), [], [b"Unrecognized option 'vsync'.", b"Error splitting the argument list"],
                 id="no statistics at all"),
    pytest.param(R0 + R1, ("signal", 9), [T0, T1], [], id="killed"),
    pytest.param(R0, ("signal", 15), [T0], [], id="terminated"),
    pytest.param(DECODE_ERRORS, ("exit", 1), [],
                 [b"[h264 @ 0x5] error while decoding MB %d 7" % n for n in range(20)]
                 + [b"(10 more lines)"], id="the first twenty and a count"),
])
def test_console_of_a_failed_run(engine, fake, stderr, setting, texts, reasons):
    fake.output("ffmpeg", "stderr", stderr)
    fake.set(*setting, "ffmpeg")
    result, console = on_console(lambda: engine.transform(*TASK))
    assert result is False
    assert console == (ECHO + b"".join(PROGRESS + text for text in texts) + BANNER
                       + b"".join(FFMPEG + reason + b"\n" for reason in reasons))


def test_child_gets_the_list_and_the_callers_standard_input(engine, fake, stdin_pipe):
    result, _ = on_console(lambda: engine.transform(*TASK))
    assert result is True
    (record,) = fake.invocations("ffmpeg")
    assert record["argv"][1:] == ARGV
    assert record["stdin"] == stdin_pipe


LISTING = ["-v", "quiet", "-show_entries",
           "stream=index,codec_type,field_order:stream_disposition=attached_pic:"
           "program_stream_disposition=attached_pic:format=duration",
           "-of", "csv=p=0", "in.mkv"]
# Cover art first and last, as taggers write it into MP4 and MKV.
COVERS = "0,video,1\n1,video,0\n2,audio,0\n3,video,1\n"


@pytest.mark.parametrize("listing, settings, pictures", [
    pytest.param(COVERS, {}, ["-map", "-0:0", "-map", "-0:3"], id="two pictures"),
    pytest.param(COVERS, {"exit": 1}, [], id="ffprobe failed"),
    pytest.param(COVERS, {"signal": 9}, [], id="ffprobe killed"),
    pytest.param(COVERS + "4,vid", {}, [], id="garbled"),
    pytest.param(None, {}, [], id="no ffprobe"),
])
def test_cover_pictures_follow_the_stream_listing(engine, fake, listing, settings, pictures):
    if listing is None:
        fake.remove("ffprobe")
    else:
        fake.output("ffprobe", "stdout", listing)
    for key, value in settings.items():
        fake.set(key, value, "ffprobe")
    result, console = on_console(lambda: engine.transform(*TASK))
    assert result is True
    after_dn = ARGV.index("-dn") + 1
    (ffmpeg,) = fake.invocations("ffmpeg")
    assert ffmpeg["argv"][1:] == ARGV[:after_dn] + pictures + ARGV[after_dn:]
    # The echo shows the list as it is run.
    echoed = b" ".join([b"", b"-dn", *(item.encode() for item in pictures), b""])
    assert console == ECHO.replace(b" -dn ", echoed)
    if listing is not None:
        (ffprobe,) = fake.invocations("ffprobe")
        assert (ffprobe["argv"][1:], ffprobe["stdin_is_null"]) == (LISTING, True)
        assert ffprobe["end"] <= ffmpeg["start"]


@pytest.mark.parametrize("listing, runs, field_filter", [
    pytest.param("0,video,progressive,0\n1,video,tt,0\n", 1, "", id="progressive"),
    pytest.param("0,video,unknown,0\n", 1, "", id="unknown"),
    # The analysis run writes no idet summary: combing is the worse error.
    pytest.param("0,video,1\n1,video,bb,0,\n5.0\n", 2, "bwdif=mode=send_frame,",
                 id="interlaced, nothing measured"),
])
def test_only_a_film_coded_as_fields_is_measured(engine, fake, listing, runs, field_filter):
    fake.output("ffprobe", "stdout", listing)
    result, console = on_console(lambda: engine.transform(*TASK))
    assert result is True
    *analysis, ffmpeg = fake.invocations("ffmpeg")
    assert len(analysis) + 1 == runs
    if analysis:
        assert "idet" in analysis[0]["argv"] and analysis[0]["stdin_is_null"] is True
    pictures = ["-map", "-0:0"] if listing.startswith("0,video,1") else []
    after_dn = ARGV.index("-dn") + 1
    argv = ARGV[:after_dn] + pictures + ARGV[after_dn:]
    argv[argv.index("-vf") + 1] = field_filter + argv[argv.index("-vf") + 1]
    assert ffmpeg["argv"][1:] == argv
    assert console == b"\n  > [DEBUG] CMD: ffmpeg " + " ".join(argv).encode() + b"\n"


def test_a_named_pipe_is_left_to_ffmpeg_alone(engine, fake, tmp_path):
    # Whatever ffprobe read from it would be lost to the encode.
    fifo = tmp_path / "in.mkv"
    os.mkfifo(fifo)
    result, _ = on_console(lambda: engine.transform(str(fifo), *TASK[1:]))
    assert result is True
    assert [r["program"] for r in fake.invocations()] == ["ffmpeg"]


def test_nul_in_an_argument_is_echoed_and_starts_nothing(engine, fake):
    task = ("in.mkv", "out\0.mkv", "libx265", "720", "1920:800:0:140", "-crf 2\x000")
    result, console = on_console(lambda: engine.transform(*task))
    assert type(result) is OSError
    assert result.args == ("nul byte found in provided data",)
    assert console == ECHO.replace(b"-crf 20 out.mkv", b"-crf <string-with-nul> <string-with-nul>")
    assert fake.invocations() == []


@pytest.mark.parametrize("method, spelling", [
    ("transform", "./film.mkv"), ("transform", "link.mkv"), ("transform", "hard.mkv"),
    ("remux", "link.mkv"), ("batch", "hard.mkv"),
])
def test_the_input_under_another_name_is_refused_and_kept(engine, fake, tmp_path, monkeypatch,
                                                          method, spelling):
    # ffmpeg refuses only the same text: under another name it would overwrite its input.
    monkeypatch.chdir(tmp_path)
    (tmp_path / "film.mkv").write_bytes(b"the film")
    (tmp_path / "link.mkv").symlink_to("film.mkv")
    os.link(tmp_path / "film.mkv", tmp_path / "hard.mkv")
    task = ("film.mkv", spelling, *TASK[2:])
    call = {"transform": lambda: engine.transform(*task),
            "remux": lambda: engine.remux(*task[:2]),
            "batch": lambda: engine.batch([task])}[method]
    result, console = on_console(call)
    assert result == ([False] if method == "batch" else False)
    if method != "remux":
        assert console.startswith(b"\n  > [DEBUG] CMD: ffmpeg ") and console.endswith(BANNER)
    assert "ffmpeg" not in [r["program"] for r in fake.invocations()]
    assert (tmp_path / "film.mkv").read_bytes() == b"the film"


def test_missing_ffmpeg_echoes_and_raises(engine, fake):
    fake.remove("ffmpeg")
    result, console = on_console(lambda: engine.transform(*TASK))
    assert type(result) is OSError
    assert result.args == ("No such file or directory (os error 2)",)
    assert result.errno is None
    assert console == ECHO


def test_a_failed_read_of_the_statistics_does_not_end_the_encode(fake):
    # The double holds the caller's descriptor limit at 0 for a moment, so that its poll fails,
    # then writes a last record and ends well. A fresh interpreter keeps the test run safe.
    fake.set("starve_parent", 0.3, "ffmpeg")
    fake.output("ffmpeg", "stderr", b"frame=2 after\n")
    code = ("import sys, kestrin\n"
            "ok = kestrin.KestEngine().transform('in.mkv', 'out.mkv', 'libx264', '720', '', '')\n"
            "sys.exit(0 if ok else 3)\n")
    run = subprocess.run([sys.executable, "-c", code], capture_output=True, timeout=60,
                         stdin=subprocess.DEVNULL, env=python_env())
    assert run.returncode == 0, run.stderr.decode()
    assert run.stdout.endswith(PROGRESS + b"frame=1 starved" + PROGRESS + b"frame=2 after")


# --- the real ffmpeg ---------------------------------------------------------------------------

@pytest.mark.parametrize("codec, flags, codec_name, pix_fmt, profile, level", [
    ("libx265", "-preset ultrafast", "hevc", "yuv420p10le", "Main 10", None),
    ("libx264", "-preset veryfast", "h264", "yuv420p", "High", 41),
])
def test_real_encode(engine, real_tools, sample_clip, tmp_path, codec, flags, codec_name,
                     pix_fmt, profile, level):
    source_tags = {key.lower(): value for key, value in ffprobe_json(sample_clip)["format"]["tags"].items()}
    assert (source_tags["title"], source_tags["comment"]) == ("Sample title", "Sample comment")
    output = tmp_path / f"{codec}.mkv"
    # The sample is 320x240 with 32-line bars: 320x176 scaled to 120 lines is 218.2 wide,
    # truncated to 208.
    result, console = on_console(
        lambda: engine.transform(str(sample_clip), str(output), codec, "120", "320:176:0:32", flags))
    assert result is True
    assert console.startswith(b"\n  > [DEBUG] CMD: ffmpeg -y ")
    assert PROGRESS + b"frame=" in console
    assert BANNER not in console and not console.endswith(b"\n")

    report = ffprobe_json(output, "-show_chapters")
    video, *others = report["streams"]
    assert (video["codec_name"], video["pix_fmt"], video["profile"]) == (codec_name, pix_fmt, profile)
    if level is not None:
        assert video["level"] == level
    assert (video["width"], video["height"]) == (208, 120)
    assert video.get("sample_aspect_ratio", "1:1") == "1:1"
    assert [(s["codec_type"], s["codec_name"], s["tags"].get("language"), s["tags"].get("title"))
            for s in others] == [("audio", "aac", "eng", "Main"),
                                 ("audio", "aac", "fra", "Commentary"),
                                 ("subtitle", "subrip", "deu", None)]
    assert [c["tags"]["title"] for c in report["chapters"]] == ["Opening", "Ending"]
    assert {key.lower() for key in report["format"].get("tags", {})} <= {"encoder"}


@pytest.mark.parametrize("source, output, reason", [
    ("missing.mkv", "out.mkv", b"no such file or directory"),
    # WebM takes no H.264: ffmpeg says so, and the banner alone would not.
    (None, "out.webm", b"webm"),
])
def test_real_failure_writes_the_banner_and_ffmpegs_reason(engine, real_tools, sample_clip,
                                                           tmp_path, source, output, reason):
    source = str(tmp_path / source) if source else str(sample_clip)
    result, console = on_console(lambda: engine.transform(
        source, str(tmp_path / output), "libx264", "120", "", ""))
    assert result is False
    banner_at = console.index(BANNER)
    reasons = console[banner_at + len(BANNER):]
    assert reasons.startswith(FFMPEG) and reasons.endswith(b"\n")
    assert reason in reasons.lower()


def test_real_progress_arrives_while_ffmpeg_runs(real_tools, tmp_path):
    # A producer paced at the frame rate (-re) feeds the encode through its standard input, so
    # the encode lasts about three seconds whatever the machine's speed, at little cost.
    producer = subprocess.Popen(
        [REAL_FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-re", "-f", "lavfi",
         "-i", "testsrc2=size=160x120:rate=25:duration=3", "-c:v", "rawvideo", "-f", "nut",
         "pipe:1"], stdin=subprocess.DEVNULL, stdout=subprocess.PIPE)
    code = ("import sys, kestrin\n"
            "ok = kestrin.KestEngine().transform('pipe:0', sys.argv[1], 'libx264', '96',"
            " '160:120:0:0', '-preset ultrafast -stats_period 0.1')\n"
            "sys.exit(0 if ok else 3)\n")
    encoder = subprocess.Popen([sys.executable, "-c", code, str(tmp_path / "live.mkv")],
                               stdin=producer.stdout, stdout=subprocess.PIPE, env=python_env())
    producer.stdout.close()
    arrivals = []
    while chunk := os.read(encoder.stdout.fileno(), 65536):
        arrivals.append((time.monotonic(), chunk))
    assert encoder.wait(timeout=60) == 0
    assert producer.wait(timeout=60) == 0
    console = b"".join(chunk for _, chunk in arrivals)
    texts = set(console.split(PROGRESS)[1:])
    assert len(texts) >= 3
    seen = [moment for moment, chunk in arrivals if PROGRESS in chunk]
    assert seen[-1] - seen[0] >= 1.0
