"""probe: the ffprobe command line, the report read by the JSON rules, the record and its object."""
import json
import math
import os
import re
import shutil
import struct
import subprocess

import pytest
from hypothesis import HealthCheck, given, settings, strategies as st

from conftest import ffprobe_json

ATTRIBUTES = ("filename", "width", "height", "codec", "duration", "pix_fmt", "bitrate")
BASE_STREAM = {"codec_type": '"video"', "codec_name": '"h264"', "width": "320", "height": "240",
               "pix_fmt": '"yuv420p"'}
BASE_FORMAT = {"filename": '"clip.mkv"', "duration": '"2.500000"', "bit_rate": '"123456"'}
BASE_RECORD = {"filename": "clip.mkv", "width": 320, "height": 240, "codec": "h264",
               "duration": 2.5, "pix_fmt": "yuv420p", "bitrate": "123456"}
MISSING = object()


def json_object(members):
    """Members as (name, JSON text) pairs, written as given, so 1920.0 stays 1920.0."""
    return "{" + ", ".join(f'"{name}": {value}' for name, value in members) + "}"


def report(streams=None, format_members=BASE_FORMAT):
    streams = [BASE_STREAM] if streams is None else streams
    parts = ['"streams": [' + ", ".join(json_object(s.items()) for s in streams) + "]"]
    if format_members is not None:
        parts.append('"format": ' + json_object(format_members.items()))
    return "{" + ", ".join(parts) + "}"


def record_of(metadata):
    return {name: getattr(metadata, name) for name in ATTRIBUTES}


def bits(value):
    return struct.pack("<d", value)


def assert_record(metadata, expected):
    got = record_of(metadata)
    # Floats bit for bit: the sign of zero and NaN count.
    assert bits(got.pop("duration")) == bits(expected["duration"])
    assert got == {k: v for k, v in expected.items() if k != "duration"}


def probe_report(engine, fake, text):
    fake.output("ffprobe", "stdout", text)
    return engine.probe("clip.mkv")


# Each member of the table against every JSON type it may turn up as.
TEXT_MEMBERS = [("stream", "codec_name", "codec", "unknown"), ("stream", "pix_fmt", "pix_fmt", "unknown"),
                ("format", "filename", "filename", "unknown"), ("format", "bit_rate", "bitrate", "0")]
OTHER_TYPES = {"missing": MISSING, "null": "null", "number": "7", "array": '["x"]',
               "object": '{"x": "y"}', "boolean": "true"}


def field_cases():
    for section, member, attribute, default in TEXT_MEMBERS:
        for kind, raw in OTHER_TYPES.items():
            yield pytest.param(section, member, raw, attribute, default, id=f"{member}-{kind}")
        yield pytest.param(section, member, '"x\\u00fc \\ud83c\\udfac"', attribute, "x\u00fc \U0001f3ac",
                           id=f"{member}-string")
        yield pytest.param(section, member, '""', attribute, "", id=f"{member}-empty-string")
    for member in ("width", "height"):
        non_integers = {k: v for k, v in OTHER_TYPES.items() if k != "number"}
        for kind, raw in {**non_integers, "string": '"1920"', "fraction": "1920.0",
                          "exponent": "1.92e3", "beyond-i64": str(2**63),
                          "below-i64": str(-2**63 - 1), "beyond-u64": str(2**64)}.items():
            yield pytest.param("stream", member, raw, member, 0, id=f"{member}-{kind}")
        for raw, value in (("1920", 1920), ("-1", -1), ("-0", 0), (str(2**63 - 1), 2**63 - 1),
                           (str(-2**63), -2**63)):
            yield pytest.param("stream", member, raw, member, value, id=f"{member}-{raw}")
    for kind, raw in {**OTHER_TYPES, "number": "12.5"}.items():
        yield pytest.param("format", "duration", raw, "duration", 0.0, id=f"duration-{kind}")
    for raw, value in (('"12.5"', 12.5), ('"1e2"', 100.0), ('"N/A"', 0.0), ('" 12.5"', 0.0),
                       ('""', 0.0), ('"-1.5"', -1.5), ('"-0"', -0.0), ('"inf"', math.inf),
                       ('"-Infinity"', -math.inf), ('"nan"', math.nan), ('"1e999"', math.inf)):
        yield pytest.param("format", "duration", raw, "duration", value, id=f"duration-{raw}")


@pytest.mark.parametrize("section, member, raw, attribute, expected", list(field_cases()))
def test_field_table(engine, fake, section, member, raw, attribute, expected):
    stream, format_members = dict(BASE_STREAM), dict(BASE_FORMAT)
    target = stream if section == "stream" else format_members
    if raw is MISSING:
        del target[member]
    else:
        target[member] = raw
    metadata = probe_report(engine, fake, report([stream], format_members))
    assert_record(metadata, {**BASE_RECORD, attribute: expected})


def test_report_without_format_gives_its_defaults(engine, fake):
    metadata = probe_report(engine, fake, report(format_members=None))
    assert_record(metadata, {**BASE_RECORD, "filename": "unknown", "duration": 0.0, "bitrate": "0"})


@pytest.mark.parametrize("format_text", ["[]", '"x"', "null", "1"])
def test_format_that_is_no_object_finds_nothing(engine, fake, format_text):
    text = report(format_members={}).replace('"format": {}', f'"format": {format_text}')
    metadata = probe_report(engine, fake, text)
    assert_record(metadata, {**BASE_RECORD, "filename": "unknown", "duration": 0.0, "bitrate": "0"})


AUDIO = {"codec_type": '"audio"', "codec_name": '"aac"'}
BIG_VIDEO = {"codec_type": '"video"', "codec_name": '"hevc"', "width": "3840", "height": "2160",
             "pix_fmt": '"yuv420p10le"'}


@pytest.mark.parametrize("streams_text", [
    pytest.param([AUDIO, BASE_STREAM], id="audio-then-video"),
    pytest.param([BASE_STREAM, BIG_VIDEO], id="first-of-two-videos"),
    pytest.param([{**BIG_VIDEO, "codec_type": '"Video"'}, {**BIG_VIDEO, "codec_type": '" video"'},
                  {**BIG_VIDEO, "codec_type": '["video"]'}, {**BIG_VIDEO, "codec_type": "1"},
                  BASE_STREAM], id="not-quite-video-passed-over"),
])
def test_stream_selection(engine, fake, streams_text):
    metadata = probe_report(engine, fake, report(streams_text))
    assert_record(metadata, BASE_RECORD)


@pytest.mark.parametrize("streams", [
    pytest.param('[5, null, "video", ["video"], {}, STREAM]', id="elements-of-other-forms"),
    pytest.param('[{"codec_type": "video", "codec_type": "audio", "width": 1}, STREAM]',
                 id="later-duplicate-codec-type-decides"),
    pytest.param('[{"codec_type": "audio", "width": 1, "codec_type": "video", "width": 320, '
                 '"height": 240, "codec_name": "h264", "pix_fmt": "yuv420p"}]',
                 id="later-duplicate-makes-it-video"),
    pytest.param('[{"\\u0063odec_type": "vid\\u0065o", "width": 320, "height": 240, '
                 '"codec_name": "h264", "pix_fmt": "yuv420p"}]', id="escaped-names-match"),
])
def test_stream_selection_by_codec_type(engine, fake, streams):
    text = ('{"streams": ' + streams.replace("STREAM", json_object(BASE_STREAM.items())) +
            ', "format": ' + json_object(BASE_FORMAT.items()) + "}")
    assert_record(probe_report(engine, fake, text), BASE_RECORD)


VALID = report()
# Inside the format object, which is two levels down already.
NEST_126 = "[" * 126 + "]" * 126


@pytest.mark.parametrize("text, exception, message", [
    ("", ValueError, "Invalid ffprobe output"),
    (" \n", ValueError, "Invalid ffprobe output"),
    (VALID[:-1], ValueError, "Invalid ffprobe output"),
    (VALID + "x", ValueError, "Invalid ffprobe output"),
    (VALID + VALID, ValueError, "Invalid ffprobe output"),
    (VALID + "\0", ValueError, "Invalid ffprobe output"),
    (VALID + "\f", ValueError, "Invalid ffprobe output"),
    ("\ufeff" + VALID, ValueError, "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', '"clip\xff.mkv"').encode("latin-1"), ValueError,
     "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', '"\\udc00"'), ValueError, "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', '"a\tb"'), ValueError, "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', "[" + NEST_126 + "]"), ValueError, "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', "1e400"), ValueError, "Invalid ffprobe output"),
    (VALID.replace('"clip.mkv"', "NaN"), ValueError, "Invalid ffprobe output"),
    ("{}", RuntimeError, "No streams found"),
    ("[]", RuntimeError, "No streams found"),
    ('"streams"', RuntimeError, "No streams found"),
    ('{"streams": {}}', RuntimeError, "No streams found"),
    ('{"streams": null}', RuntimeError, "No streams found"),
    ('{"Streams": [{"codec_type": "video"}]}', RuntimeError, "No streams found"),
    ('{"streams": []}', RuntimeError, "No video stream found"),
    ('{"streams": [{"codec_type": "audio"}, {"codec_type": "subtitle"}]}', RuntimeError,
     "No video stream found"),
])
def test_failures(engine, fake, text, exception, message):
    with pytest.raises(exception) as raised:
        probe_report(engine, fake, text)
    assert type(raised.value) is exception
    assert raised.value.args == (message,)


@pytest.mark.parametrize("text", [
    pytest.param(VALID + "\n", id="line-feed-after"),
    pytest.param(" \t\r\n" + VALID + " \t\r\n", id="four-white-spaces-around"),
    pytest.param(VALID.replace('"clip.mkv"', '"clip.mkv", "deep": ' + NEST_126), id="128-levels"),
    pytest.param(VALID.replace('"clip.mkv"', f'"clip.mkv", "n": [1e-400, {2**64}, -{2**64}]'),
                 id="tiny-and-huge-numbers"),
])
def test_reports_that_are_read(engine, fake, text):
    assert_record(probe_report(engine, fake, text), BASE_RECORD)


@pytest.mark.parametrize("setting, value", [("exit", 1), ("signal", 9)])
def test_failed_ffprobe_with_a_valid_report_still_gives_a_record(engine, fake, setting, value):
    fake.set(setting, value, "ffprobe")
    assert_record(probe_report(engine, fake, VALID), BASE_RECORD)


@pytest.mark.parametrize("path", ["in.mkv", "my clip 'x' \"y\".mkv", "-leading-dash.mkv", ""])
def test_argument_list(engine, fake, path):
    fake.output("ffprobe", "stdout", VALID)
    engine.probe(path)
    (record,) = fake.invocations("ffprobe")
    assert record["argv"][1:] == ["-v", "quiet", "-print_format", "json", "-show_format",
                                  "-show_streams", path]
    assert record["stdin_is_null"] is True


@pytest.mark.parametrize("attribute", ATTRIBUTES)
def test_attributes_are_read_only(engine, fake, attribute):
    metadata = probe_report(engine, fake, VALID)
    with pytest.raises(AttributeError):
        setattr(metadata, attribute, BASE_RECORD[attribute])
    with pytest.raises(AttributeError):
        delattr(metadata, attribute)
    assert getattr(metadata, attribute) == BASE_RECORD[attribute]
    with pytest.raises(AttributeError):
        metadata.extra = 1


def test_attribute_types(engine, fake):
    metadata = probe_report(engine, fake, VALID)
    types = {name: type(getattr(metadata, name)) for name in ATTRIBUTES}
    assert types == {"filename": str, "width": int, "height": int, "codec": str,
                     "duration": float, "pix_fmt": str, "bitrate": str}


# The number rules against an independent oracle: a strict pattern of the grammar, and Python's
# own correctly rounded float() for the texts it admits.
NUMBER = re.compile(r"[+-]?(?:[iI][nN][fF](?:[iI][nN][iI][tT][yY])?|[nN][aA][nN]|"
                    r"(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][+-]?[0-9]+)?)")


def oracle(text):
    return float(text) if NUMBER.fullmatch(text) else 0.0


def mixed_case(word):
    return st.lists(st.booleans(), min_size=len(word), max_size=len(word)).map(
        lambda upper: "".join(c.upper() if u else c for c, u in zip(word, upper)))


DIGITS = st.text("0123456789", max_size=25)
SHAPED = st.builds(
    lambda sign, body: sign + body,
    st.sampled_from(["", "+", "-", "--", "+-", " "]),
    st.one_of(
        st.sampled_from(["inf", "infinity", "nan", "infin", "nan(1)", "in"]).flatmap(mixed_case),
        st.builds(lambda a, point, b, e, esign, edigits: a + point + b + (e + esign + edigits if e else ""),
                  DIGITS, st.sampled_from(["", ".", ".", ".."]), DIGITS,
                  st.sampled_from(["", "e", "E", "x"]), st.sampled_from(["", "+", "-"]),
                  st.one_of(st.text("0123456789", min_size=1, max_size=4),
                            st.sampled_from(["", "308", "309", "324", "325", "99999999999999999999"]))),
    ),
    ) | st.text("0123456789+-.eEinfatyINFATY _,\n\u0660", max_size=12) | st.text(max_size=20)


@pytest.fixture
def quick_ffprobe(fake):
    """An ffprobe that only prints its report: thousands of probes without a Python start each."""
    fake.remove("ffprobe")
    script = fake.bin / "ffprobe"
    script.write_text('#!/bin/sh\nexec /bin/cat "$KESTRIN_TEST_REPORT"\n')
    script.chmod(0o755)
    return fake.root / "report.json"


@settings(max_examples=500, deadline=None, database=None,
          suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(text=SHAPED)
def test_duration_number_rules_against_oracle(engine, quick_ffprobe, monkeypatch, text):
    monkeypatch.setenv("KESTRIN_TEST_REPORT", str(quick_ffprobe))
    quick_ffprobe.write_text(report(format_members={"duration": json.dumps(text)}))
    assert bits(engine.probe("clip.mkv").duration) == bits(oracle(text)), repr(text)


@pytest.fixture
def comma_locale(tmp_path_factory):
    """A locale whose decimal point is a comma, compiled on the spot where the sources exist."""
    import locale

    localedef = shutil.which("localedef", path="/usr/bin:/bin")
    if not localedef or not os.path.isfile("/usr/share/i18n/locales/de_DE"):
        pytest.skip("no locale sources to compile a decimal-comma locale from")
    folder = tmp_path_factory.mktemp("locales")
    # localedef unpacks the character map with gzip, found on PATH.
    subprocess.run([localedef, "-i", "de_DE", "-f", "UTF-8", str(folder / "de_DE.UTF-8")],
                   check=True, capture_output=True, env={"PATH": "/usr/bin:/bin"})
    saved = locale.setlocale(locale.LC_ALL)
    os.environ["LOCPATH"] = str(folder)
    try:
        locale.setlocale(locale.LC_ALL, "de_DE.UTF-8")
        assert locale.localeconv()["decimal_point"] == ","
        yield
    finally:
        locale.setlocale(locale.LC_ALL, saved)
        del os.environ["LOCPATH"]


def test_numbers_do_not_follow_the_process_locale(engine, fake, comma_locale):
    fake.output("ffprobe", "stdout", report(format_members={"duration": '"12.5"', "n": "1.5e308"}))
    assert engine.probe("clip.mkv").duration == 12.5
    fake.output("ffprobe", "stdout", report(format_members={"duration": '"12,5"', "n": "1.5e308"}))
    assert engine.probe("clip.mkv").duration == 0.0
    fake.output("ffprobe", "stdout", report(format_members={"n": "1.8e308"}))
    with pytest.raises(ValueError):
        engine.probe("clip.mkv")


def test_real_probe_agrees_with_ffprobe(engine, real_tools, sample_clip):
    metadata = engine.probe(str(sample_clip))
    report_json = ffprobe_json(sample_clip)
    (video,) = [s for s in report_json["streams"] if s["codec_type"] == "video"]
    assert record_of(metadata) == {
        "filename": report_json["format"]["filename"], "width": video["width"],
        "height": video["height"], "codec": video["codec_name"],
        "duration": float(report_json["format"]["duration"]), "pix_fmt": video["pix_fmt"],
        "bitrate": report_json["format"]["bit_rate"]}
    assert (metadata.width, metadata.height, metadata.codec) == (320, 240, "h264")
