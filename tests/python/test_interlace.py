"""Interlaced and telecined sources come out as whole pictures at their true rate; a progressive
file's encode is as it was."""
import pytest

import interlaced_clips
from conftest import REAL_FFMPEG, REAL_FFPROBE

FLAGS = "-crf 14 -preset veryfast -nostdin"


# Left as they are, both score 0.94 to 0.96, and the telecined film keeps its 60 frames.
@pytest.mark.parametrize("name, scale, rate, frames, ssim, treatment", [
    ("pal-576i25-tff", 2, 25.0, 50, 0.98, b"-vf bwdif=mode=send_frame:parity=tff,crop="),
    ("ntsc-film-telecined", 4, 24000 / 1001, 48, 0.99,
     b"-vf fieldmatch=order=tff,bwdif=mode=send_frame:parity=tff:deint=interlaced,decimate,crop="),
])
def test_fields_become_whole_pictures(engine, real_tools, tmp_path, capfd, name, scale, rate,
                                      frames, ssim, treatment):
    source, truth = interlaced_clips.make(REAL_FFMPEG, tmp_path, name, seconds=2, scale=scale)
    width, height = interlaced_clips.size(name, scale=scale)
    output = tmp_path / "out.mkv"
    assert engine.transform(str(source), str(output), "libx264", str(height),
                            f"{width}:{height}:0:0", FLAGS) is True
    assert treatment in capfd.readouterr().out.encode()
    judged = interlaced_clips.judge(REAL_FFMPEG, REAL_FFPROBE, output, truth)
    assert judged["rate"] == pytest.approx(rate, abs=0.01)
    assert judged["frames"] == frames
    assert judged["combed"] <= 0.1
    assert judged["ssim"] >= ssim


def test_progressive_file_gets_no_analysis(engine, real_tools, tmp_path, capfd):
    progressive = interlaced_clips.make_progressive(REAL_FFMPEG, tmp_path / "progressive.mkv")
    assert engine.transform(str(progressive), str(tmp_path / "out.mkv"), "libx264", "144",
                            "176:144:0:0", FLAGS) is True
    assert b" -vf crop=176:144:0:0,scale=" in capfd.readouterr().out.encode()
