"""remux: one silent ffmpeg run that copies every stream."""
import pytest

from conftest import ffprobe_json

REMUX_ARGS = ["-hide_banner", "-loglevel", "quiet", "-nostats", "-i", "IN", "-c", "copy",
              "-map", "0", "-map_metadata", "-1", "-y", "OUT"]
STREAM_LISTING = [
    "-v", "quiet", "-show_entries",
    "stream=index,codec_type,field_order:stream_disposition=attached_pic:"
    "program_stream_disposition=attached_pic:format=duration", "-of",
    "csv=p=0"]


@pytest.mark.parametrize("input_path, output_path", [
    ("in.mkv", "out.mp4"),
    ("a path with spaces 'and' \"quotes\".mkv", "-leading-dash.mkv"),
    ("", ""),
])
def test_argument_list(engine, fake, stdin_pipe, input_path, output_path):
    assert engine.remux(input_path, output_path) is True
    ffprobe, ffmpeg = fake.invocations()
    assert ffprobe["argv"][1:] == STREAM_LISTING + [input_path]
    assert ffprobe["stdin_is_null"] is True
    expected = [input_path if a == "IN" else output_path if a == "OUT" else a for a in REMUX_ARGS]
    assert ffmpeg["argv"][1:] == expected
    # The pass-through run leaves standard input to the caller.
    assert ffmpeg["stdin"] == stdin_pipe


@pytest.mark.parametrize("listing, settings, pairs", [
    pytest.param("0,video,0\n1,audio,0\n2,attachment,0\n3,attachment,0\n", {},
                 ["-map_metadata:s:t:0", "0:s:t:0", "-map_metadata:s:t:1", "0:s:t:1"],
                 id="two fonts"),
    pytest.param("0,video,0\n1,attachment,0\n", {"exit": 1}, [], id="ffprobe failed"),
    pytest.param("\n", {}, [], id="none"),
])
def test_attachment_pairs_follow_the_listing(engine, fake, listing, settings, pairs):
    fake.output("ffprobe", "stdout", listing)
    for key, value in settings.items():
        fake.set(key, value, "ffprobe")
    assert engine.remux("in.mkv", "out.mkv") is True
    (ffmpeg,) = fake.invocations("ffmpeg")
    assert ffmpeg["argv"][1:] == ["-hide_banner", "-loglevel", "quiet", "-nostats", "-i", "in.mkv",
                                  "-c", "copy", "-map", "0", "-map_metadata", "-1", *pairs, "-y",
                                  "out.mkv"]


def test_missing_ffprobe_still_remuxes(engine, fake):
    fake.remove("ffprobe")
    assert engine.remux("in.mkv", "out.mkv") is True
    (ffmpeg,) = fake.invocations("ffmpeg")
    assert ffmpeg["argv"][-3:] == ["-1", "-y", "out.mkv"]


@pytest.mark.parametrize("setting, value", [("exit", 1), ("exit", 255), ("signal", 9), ("signal", 15)])
def test_failed_or_killed_ffmpeg_is_false(engine, fake, setting, value):
    fake.set(setting, value, "ffmpeg")
    assert engine.remux("in.mkv", "out.mkv") is False




def test_real_remux_keeps_every_stream(engine, real_tools, sample_clip, tmp_path):
    output = tmp_path / "copy.mkv"
    output.write_bytes(b"stale")
    assert engine.remux(str(sample_clip), str(output)) is True
    kinds = [s["codec_type"] for s in ffprobe_json(output)["streams"]]
    assert kinds == ["video", "audio", "audio", "subtitle"]
    assert "title" not in ffprobe_json(output)["format"].get("tags", {})


@pytest.mark.parametrize("output_name", ["copy.unknownext", "missing-dir/copy.mkv"])
def test_real_remux_failures_are_false(engine, real_tools, sample_clip, tmp_path, output_name):
    assert engine.remux(str(sample_clip), str(tmp_path / output_name)) is False


def test_real_remux_of_missing_input_is_false(engine, real_tools, tmp_path):
    assert engine.remux(str(tmp_path / "nope.mkv"), str(tmp_path / "out.mkv")) is False
