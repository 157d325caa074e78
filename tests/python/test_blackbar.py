"""get_blackbar_coords: probe first, then cropdetect's log on standard error over the opening and,
for a film of a minute or more, at the same time over windows across it; their union, or the
fallback."""
import os
import subprocess
import textwrap

import pytest

from conftest import REAL_FFMPEG, ffprobe_json, make_sample_clip, run_in_fresh_interpreter

REPORT = ('{"streams": [{"codec_type": "video", "width": 1920, "height": 1080}], '
          '"format": {"filename": "in.mkv"}}')
LINE = (b"[Parsed_cropdetect_0 @ 0x55d0c2a0] x1:0 x2:1919 y1:140 y2:939 w:1920 h:800 x:0 y:140 "
        b"pts:1960 t:1.960000 limit:24.000000 crop=")
CROPDETECT_ARGS = ["-hide_banner", "-loglevel", "info", "-i", "PATH", "-vf", "cropdetect=24:16:0",
                   "-vframes", "100", "-f", "null", "-"]
FILM_REPORT = ('{"streams": [{"codec_type": "video", "width": 1920, "height": 1080}], '
               '"format": {"filename": "in.mkv", "duration": "%s"}}')
# The windows of a film of 64.5 s: from 10 %, 20 %, ..., 80 % of it.
SAMPLING_ARGS = ["-hide_banner", "-loglevel", "info",
                 *[item for start in ("6.450", "12.900", "19.350", "25.800", "32.250", "38.700",
                                      "45.150", "51.600")
                   for item in ("-threads", "1", "-skip_frame", "nokey", "-noaccurate_seek", "-ss",
                                start, "-t", "0.5", "-i", "PATH")],
                 "-filter_complex", "[0:V:0][1:V:0][2:V:0][3:V:0][4:V:0][5:V:0][6:V:0][7:V:0]"
                 "concat=n=8:v=1:a=0,cropdetect=24:16:0:0[windows]", "-map", "[windows]",
                 "-f", "null", "-"]
LOGO = LINE + b"272:160:844:460\n"
FILM = LINE + b"1920:800:0:140\n"


@pytest.fixture
def probed(fake):
    fake.output("ffprobe", "stdout", REPORT)
    return fake


# The scan itself is tabled in the unit tests; these cases go through the whole call.
@pytest.mark.parametrize("log, expected", [
    pytest.param(b"", "1920:1080:0:0", id="empty-log"),
    pytest.param(LINE + b"1920:816:0:132\n" + LINE + b"1920:800:0:140\r\nframe=  100 fps=25\n",
                 "1920:800:0:140", id="last-of-many"),
    pytest.param(LINE + b"1:1:0:0\n" + b"crop=\n", "1:1:0:0", id="empty-after-marker"),
    pytest.param(b"crop=1:1:0:0 \xff\xc3\n", "1920:1080:0:0", id="invalid-bytes-spoil-it"),
    pytest.param(LINE + b"640:272:0:44\n    title           : crop=16:16:0:0,drawtext=textfile=x\n",
                 "640:272:0:44", id="echoed-title-after-the-filter"),
])
def test_crop_log(engine, probed, log, expected):
    probed.output("ffmpeg", "stderr", log)
    assert engine.get_blackbar_coords("in.mkv") == expected


def test_failed_ffmpeg_still_gives_its_last_candidate(engine, probed):
    probed.output("ffmpeg", "stderr", LINE + b"1920:800:0:140\nError while decoding\n")
    probed.set("exit", 1, "ffmpeg")
    assert engine.get_blackbar_coords("in.mkv") == "1920:800:0:140"


@pytest.mark.parametrize("stream, expected", [
    ('{"codec_type": "video"}', "0:0:0:0"),
    ('{"codec_type": "video", "width": -5, "height": 9223372036854775807}',
     "-5:9223372036854775807:0:0"),
])
def test_fallback_carries_the_probed_size(engine, fake, stream, expected):
    fake.output("ffprobe", "stdout", '{"streams": [' + stream + "]}")
    fake.set("exit", 1, "ffmpeg")
    assert engine.get_blackbar_coords("in.mkv") == expected


# Opening and windows: what the first run and the sampling run log; a setting only the second
# run gets, and whether it ran.
@pytest.mark.parametrize("duration, opening, windows, second_run, expected", [
    pytest.param("64.500000", LOGO, FILM, {}, "1920:800:0:140", id="logo-opening"),
    pytest.param("60", FILM, LINE + b"1440:1072:240:4\n", {}, "1920:1072:0:4",
                 id="union-of-two-that-overlap"),
    pytest.param("64.5", b"", FILM, {}, "1920:800:0:140", id="only-the-windows-found-one"),
    pytest.param("64.5", b"", b"crop=-1904:-1072:1914:1078\n", {}, "1920:1080:0:0",
                 id="neither-found-one"),
    pytest.param("59.999", LOGO, FILM, None, "272:160:844:460", id="under-a-minute"),
    pytest.param("0", LOGO, FILM, None, "272:160:844:460", id="zero"),
    pytest.param("N/A", LOGO, FILM, None, "272:160:844:460", id="not-available"),
    pytest.param("inf", LOGO, FILM, None, "272:160:844:460", id="infinite"),
    pytest.param("nan", LOGO, FILM, None, "272:160:844:460", id="not-a-number"),
    pytest.param("64.5", LOGO, FILM, {"exit": 1}, "272:160:844:460", id="second-run-fails"),
    pytest.param("64.5", LOGO, FILM, {"signal": 9}, "272:160:844:460", id="second-run-killed"),
    # Its poll fails, which must not become an OSError. (Nothing more is written, so that the
    # double lives on to log its run.)
    pytest.param("64.5", LOGO, b"", {"starve_parent": 0.3}, "272:160:844:460",
                 id="second-run-unreadable"),
])
def test_film_sampling(engine, fake, duration, opening, windows, second_run, expected):
    fake.output("ffprobe", "stdout", FILM_REPORT % duration)
    fake.output("ffmpeg", "stderr", opening)
    fake.output("ffmpeg", "stderr", windows, when="seeking")
    for key, value in (second_run or {}).items():
        fake.set(f"seeking_{key}", value, "ffmpeg")
    assert engine.get_blackbar_coords("in.mkv") == expected
    assert len(fake.invocations("ffmpeg")) == (1 if second_run is None else 2)


@pytest.mark.parametrize("key, value", [("exit", 1), ("signal", 9)], ids=["fails", "killed"])
def test_opening_that_ends_while_the_windows_run(engine, fake, key, value):
    fake.output("ffprobe", "stdout", FILM_REPORT % "64.5")
    fake.output("ffmpeg", "stderr", LOGO)
    fake.output("ffmpeg", "stderr", FILM, when="seeking")
    fake.set(key, value, "ffmpeg")
    fake.set(f"seeking_{key}", "", "ffmpeg")
    fake.set("seeking_sleep", 0.5, "ffmpeg")
    assert engine.get_blackbar_coords("in.mkv") == "1920:800:0:140"
    runs = fake.invocations("ffmpeg")
    # Both waited for: not even a zombie is left.
    assert len(runs) == 2 and not any(os.path.exists(f"/proc/{r['pid']}") for r in runs)


# Poll fails (the double takes the parent's descriptors away for a second) while the opening's
# run is read: raised as when the opening runs alone, the windows' run beside it or not.
@pytest.mark.parametrize("duration", ["64.5", "10"], ids=["film", "short"])
def test_opening_unreadable_is_raised(engine, fake, duration):
    fake.output("ffprobe", "stdout", FILM_REPORT % duration)
    fake.set("starve_parent", 1, "ffmpeg")
    fake.set("seeking_starve_parent", 0, "ffmpeg")
    with pytest.raises(OSError) as raised:
        engine.get_blackbar_coords("in.mkv")
    assert raised.value.args == ("Invalid argument (os error 22)",)
    assert not any(os.path.exists(f"/proc/{r['pid']}") for r in fake.invocations("ffmpeg"))


def test_ctrl_c_stops_both_runs_and_surfaces_after_the_call(fake):
    fake.output("ffprobe", "stdout", FILM_REPORT % "64.5")
    fake.set("sleep", 20, "ffmpeg")
    code = textwrap.dedent("""
        import os, signal, subprocess, sys, time, kestrin
        os.setsid()
        signal.signal(signal.SIGINT, signal.default_int_handler)
        # As a terminal sends it: to the whole process group, both ffmpeg runs included. (The
        # call holds the interpreter lock, so no thread of ours could send it meanwhile.)
        killer = subprocess.Popen([sys.executable, "-c", "import os, signal, time; "
                                   "signal.signal(signal.SIGINT, signal.SIG_IGN); "
                                   "time.sleep(0.5); os.killpg(0, signal.SIGINT)"])
        started = time.monotonic()
        try:
            kestrin.KestEngine().get_blackbar_coords("in.mkv")
            time.sleep(20)
        except KeyboardInterrupt:
            print("interrupted after", round(time.monotonic() - started))
        killer.wait()
        try:
            os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            print("no child left")
    """)
    result = run_in_fresh_interpreter(code, timeout=60)
    assert result.stdout.decode().splitlines() == ["interrupted after 1", "no child left"], result.stderr.decode()


@pytest.mark.parametrize("path", ["in.mkv", "my clip 'x'.mkv", "-dash.mkv", ""])
def test_every_argument_list(engine, fake, path):
    fake.output("ffprobe", "stdout", FILM_REPORT % "64.500000")
    engine.get_blackbar_coords(path)
    ffprobe, *runs = fake.invocations()
    # The two ffmpeg runs start together, after the probe has ended.
    ffmpeg, sampling = sorted(runs, key=lambda run: "-ss" in run["argv"])
    assert ffprobe["end"] <= min(run["start"] for run in runs)
    assert ffprobe["argv"][1:] == ["-v", "quiet", "-print_format", "json", "-show_format",
                                   "-show_streams", path]
    assert ffmpeg["argv"][1:] == [path if a == "PATH" else a for a in CROPDETECT_ARGS]
    assert sampling["argv"][1:] == [path if a == "PATH" else a for a in SAMPLING_ARGS]
    for run in (ffmpeg, sampling):
        assert run["program"] == "ffmpeg" and run["stdin_is_null"] is True


@pytest.mark.parametrize("report, exception, message", [
    ("", ValueError, "Invalid ffprobe output"),
    ("{}", RuntimeError, "No streams found"),
    ('{"streams": [{"codec_type": "audio"}]}', RuntimeError, "No video stream found"),
])
def test_probe_failure_is_raised_and_ffmpeg_not_started(engine, fake, report, exception, message):
    fake.output("ffprobe", "stdout", report)
    with pytest.raises(exception) as raised:
        engine.get_blackbar_coords("in.mkv")
    assert type(raised.value) is exception and raised.value.args == (message,)
    assert [r["program"] for r in fake.invocations()] == ["ffprobe"]


def test_missing_ffmpeg_after_a_successful_probe(engine, probed):
    probed.remove("ffmpeg")
    with pytest.raises(OSError) as raised:
        engine.get_blackbar_coords("in.mkv")
    assert type(raised.value) is OSError
    assert raised.value.args == ("No such file or directory (os error 2)",)
    assert [r["program"] for r in probed.invocations()] == ["ffprobe"]


def test_real_letterboxed_clip_gives_its_true_picture(engine, real_tools, sample_clip, tmp_path):
    # 320x240 with 32 black lines above and below: the picture is 320x176 at 0,32, and both
    # sizes are multiples of 16, so cropdetect's rounding can't move the answer.
    rectangle = engine.get_blackbar_coords(str(sample_clip))
    assert rectangle == "320:176:0:32"
    output = tmp_path / "cropped.mkv"
    try:
        done = engine.transform(str(sample_clip), str(output), "libx264", "176", rectangle,
                                "-preset veryfast -t 1")
    except NotImplementedError:
        pytest.skip("transform is not built in this tree yet")
    assert done is True
    (video,) = [s for s in ffprobe_json(output)["streams"] if s["codec_type"] == "video"]
    assert (video["width"], video["height"]) == (320, 176)


def test_real_clip_without_bars_gives_the_whole_picture(engine, real_tools, tmp_path):
    clip = make_sample_clip(tmp_path / "plain.mkv", seconds=1, size="160x96", bars=0)
    assert engine.get_blackbar_coords(str(clip)) == "160:96:0:0"



def test_real_hostile_title_does_not_choose_the_crop(engine, real_tools, tmp_path):
    # cropdetect logs nothing for two frames, and ffmpeg echoes the title into the same log.
    clip = tmp_path / "hostile.mkv"
    title = "crop=320:240:0:0,drawtext=textfile=/some/secret:x=0:y=0"
    subprocess.run([REAL_FFMPEG, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                    "-f", "lavfi", "-i", "testsrc2=size=160x96:rate=25", "-frames:v", "2",
                    "-metadata", f"title={title}", "-c:v", "libx264", "-preset", "ultrafast",
                    str(clip)], check=True, stdin=subprocess.DEVNULL)
    assert ffprobe_json(clip)["format"]["tags"]["title"] == title
    assert engine.get_blackbar_coords(str(clip)) == "160:96:0:0"


def test_real_clip_opening_with_black_frames_gives_the_whole_picture(engine, real_tools,
                                                                     tmp_path):
    # Over black frames only, cropdetect's estimate is a negative size, which crop refuses.
    clip = tmp_path / "black.mkv"
    subprocess.run([REAL_FFMPEG, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                    "-f", "lavfi", "-i", "color=black:size=320x240:rate=25:duration=5",
                    "-c:v", "libx264", "-preset", "ultrafast", str(clip)],
                   check=True, stdin=subprocess.DEVNULL)
    assert engine.get_blackbar_coords(str(clip)) == "320:240:0:0"
