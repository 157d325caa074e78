"""Generated media files with the structures of files that users bring: camera timecode tracks,
MP4 chapter tracks, fonts, many tagged tracks, films of a minute whose openings show no picture,
interlacing, phone rotation, cover art, HDR10."""
import pathlib
import struct
import subprocess

FONT_MIMETYPE = "application/x-truetype-font"


def _ffmpeg(ffmpeg, *arguments):
    completed = subprocess.run([ffmpeg, "-nostdin", "-y", "-hide_banner", "-loglevel", "error",
                                *map(str, arguments)],
                               capture_output=True, text=True, stdin=subprocess.DEVNULL)
    if completed.returncode != 0:
        raise RuntimeError(f"making a clip failed: {completed.stderr.strip()}")


def _lavfi(source):
    return ["-f", "lavfi", "-i", source]


FAST_H264 = ["-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv420p"]


def find_font():
    """The smallest TrueType or OpenType font installed, if any."""
    fonts = [p for p in pathlib.Path("/usr/share/fonts").rglob("*") if p.suffix in (".ttf", ".otf")]
    return min(fonts, key=lambda p: p.stat().st_size, default=None)


def font_file(folder):
    font = find_font()
    if font is not None:
        return font
    # Matroska takes any bytes as an attachment; only the name and the mimetype tag matter here.
    dummy = folder / "kestrin-dummy.ttf"
    dummy.write_bytes(b"\x00\x01\x00\x00" + bytes(252))
    return dummy


ASS_SCRIPT = """[Script Info]
ScriptType: v4.00+
PlayResX: 320
PlayResY: 180

[V4+ Styles]
Format: Name, Fontname, Fontsize, PrimaryColour, SecondaryColour, OutlineColour, BackColour, \
Bold, Italic, Underline, StrikeOut, ScaleX, ScaleY, Spacing, Angle, BorderStyle, Outline, \
Shadow, Alignment, MarginL, MarginR, MarginV, Encoding
Style: Default,{font},18,&H00FFFFFF,&H000000FF,&H00000000,&H80000000,0,0,0,0,100,100,0,0,1,1,\
0,2,10,10,10,1
Style: Sign,{font},14,&H0000FFFF,&H000000FF,&H00000000,&H80000000,1,1,0,0,100,100,0,0,1,2,\
0,8,10,10,10,1

[Events]
Format: Layer, Start, End, Style, Name, MarginL, MarginR, MarginV, Effect, Text
Dialogue: 0,0:00:00.00,0:00:01.00,Default,,0,0,0,,{{\\i1}}Hello{{\\i0}} there
Dialogue: 0,0:00:01.00,0:00:02.00,Sign,,0,0,0,,{{\\pos(160,20)}}A sign
"""


def chapters_file(path, titles, seconds):
    step = seconds * 1000 // len(titles)
    text = ";FFMETADATA1\n"
    for index, title in enumerate(titles):
        text += (f"[CHAPTER]\nTIMEBASE=1/1000\nSTART={index * step}\nEND={(index + 1) * step}\n"
                 f"title={title}\n")
    path.write_text(text)
    return path


def subtitles_file(path, text):
    path.write_text(f"1\n00:00:00,000 --> 00:00:01,000\n{text}\n")
    return path


def make_timecode_mov(ffmpeg, folder):
    # A professional camera's file: a QuickTime timecode track beside picture and sound.
    path = folder / "camera-timecode.mov"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=2"),
            *_lavfi("sine=frequency=440:duration=2"), *FAST_H264, "-c:a", "aac",
            "-timecode", "01:00:00:00", path)
    return path


def make_chapters_mp4(ffmpeg, folder):
    # ffmpeg, HandBrake and most MP4 writers keep chapters in a text track: a data stream.
    path = folder / "chapters-text-track.mp4"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=2"),
            *_lavfi("sine=frequency=440:duration=2"),
            "-i", subtitles_file(folder / "chapters.srt", "Hello"),
            "-i", chapters_file(folder / "chapters.txt", ["Intro", "Main"], 2),
            "-map", "0:v", "-map", "1:a", "-map", "2:s", "-map_chapters", "3",
            "-metadata:s:s:0", "language=eng", *FAST_H264, "-c:a", "aac", "-c:s", "mov_text",
            path)
    return path


def make_fonts_mkv(ffmpeg, folder):
    # Styled subtitles with their font inside the file, as nearly every anime or fansub release.
    path = folder / "styled-fonts.mkv"
    script = folder / "styled.ass"
    script.write_text(ASS_SCRIPT.format(font="DejaVu Sans"))
    font = font_file(folder)
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=2"),
            *_lavfi("sine=frequency=440:duration=2"), "-i", script,
            "-map", "0:v", "-map", "1:a", "-map", "2:s", *FAST_H264, "-c:a", "aac", "-c:s", "ass",
            "-attach", font, "-metadata:s:t:0", f"mimetype={FONT_MIMETYPE}",
            "-metadata:s:s:0", "language=eng", "-metadata:s:s:0", "title=Styled", path)
    return path, font.name


AUDIO_TRACKS = [("eng", "Main"), ("eng", "Commentary"), ("fra", "Doublage"), ("deu", "Synchron"),
                ("spa", "Doblaje"), ("ita", "Doppiaggio"), ("jpn", "Japanese"),
                ("eng", "Descriptive")]
SUBTITLE_TRACKS = [("eng", "Full"), ("eng", "Forced"), ("fra", "Complets"), ("deu", "Komplett")]
CHAPTER_TITLES = ["Prologue", "Act One", "Epilogue"]


def make_many_tracks_mkv(ffmpeg, folder):
    path = folder / "many-tracks.mkv"
    inputs = [*_lavfi("testsrc2=size=160x90:rate=25:duration=2"),
              *_lavfi("sine=frequency=440:duration=2")]
    maps = ["-map", "0:v"] + ["-map", "1:a"] * len(AUDIO_TRACKS)
    for index, (language, title) in enumerate(SUBTITLE_TRACKS):
        inputs += ["-i", subtitles_file(folder / f"many-{index}.srt", title)]
        maps += ["-map", f"{index + 2}:s"]
    inputs += ["-i", chapters_file(folder / "many.chapters", CHAPTER_TITLES, 2)]
    tags = []
    for kind, tracks in (("a", AUDIO_TRACKS), ("s", SUBTITLE_TRACKS)):
        for index, (language, title) in enumerate(tracks):
            tags += [f"-metadata:s:{kind}:{index}", f"language={language}",
                     f"-metadata:s:{kind}:{index}", f"title={title}"]
    _ffmpeg(ffmpeg, *inputs, *maps, "-map_chapters", str(len(SUBTITLE_TRACKS) + 2), *tags,
            *FAST_H264, "-c:a", "aac", "-b:a", "32k", "-ac", "1", "-c:s", "srt", path)
    return path


def joined_film(ffmpeg, path, rate, scenes):
    """A 1920x1080 film of `scenes`, each (lavfi source without rate and duration, seconds, times
    in a row), encoded once and joined by stream copy: a minute of full HD is costly to encode,
    and the films need no more than a few distinct scenes. Every scene opens on a key frame, as
    a film's scene changes do."""
    listing = ""
    for index, (source, seconds, times) in enumerate(scenes):
        scene = path.with_name(f"{path.stem}-scene{index}.mkv")
        _ffmpeg(ffmpeg, *_lavfi(source.format(rate=rate, seconds=seconds)), *FAST_H264,
                "-crf", "40", scene)
        listing += f"file '{scene.name}'\n" * times
    script = path.with_suffix(".ffconcat")
    script.write_text(listing)
    _ffmpeg(ffmpeg, "-f", "concat", "-safe", "0", "-i", script, "-c", "copy", path)
    return path


BLACK = "color=black:size=1920x1080:rate={rate}:duration={seconds}"
# A small bright logo in the middle, as on a studio card.
LOGO = BLACK + ",drawbox=x=896:y=508:w=128:h=64:color=white:t=fill"
# Only the middle of the picture lit, as in a night scene.
LIT_CENTRE = BLACK + ",drawbox=x=640:y=340:w=640:h=400:color=gray:t=fill"


def picture(width, height, x, y):
    # Colour bars with a bright box moving across them, inside black bars.
    return (f"smptehdbars=size={width}x{height}:rate={{rate}}:duration={{seconds}}[bars];"
            f"color=white:size=160x160:rate={{rate}}[box];"
            f"[bars][box]overlay=x='mod(t*300,{width - 160})':y={height // 2 - 80}:shortest=1,"
            f"pad=1920:1080:{x}:{y}:black")


# Their pictures, as cropdetect gives them (1080 lines are rounded to 1072 with 4 off each side).
FILM_PICTURES = {"film-logo-opening": "1920:800:0:140", "film-pillarbox-opening": "1440:1072:240:4",
                 "film-black-opening": "1920:816:0:132"}


def make_film_logo_opening(ffmpeg, folder):
    # 6 s of a logo at 24 frames a second: the 100 frames of the opening see the logo alone.
    # A lit centre around 80 % of the film, where the last window lands.
    film = picture(1920, 800, 0, 140)
    return joined_film(ffmpeg, folder / "film-logo-opening.mkv", 24,
                       [(LOGO, 6, 1), (film, 10, 4), (LIT_CENTRE, 8, 1), (film, 10, 1)])


def make_film_pillarbox_opening(ffmpeg, folder):
    return joined_film(ffmpeg, folder / "film-pillarbox-opening.mkv", 30,
                       [(LOGO, 4, 1), (picture(1440, 1080, 240, 0), 10, 6)])


def make_film_black_opening(ffmpeg, folder):
    return joined_film(ffmpeg, folder / "film-black-opening.mkv", 24,
                       [(BLACK, 8, 1), (picture(1920, 816, 0, 132), 8, 7)])


def make_interlaced(ffmpeg, folder):
    # Broadcast and DV material: coded as interlaced fields, top field first.
    path = folder / "interlaced.mkv"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=2"),
            "-vf", "setfield=tff", *FAST_H264, "-flags", "+ildct+ilme", "-x264opts", "tff=1",
            "-field_order", "tt", path)
    return path


def make_variable_frame_rate(ffmpeg, folder):
    # Screen and phone recordings: frames only when something changes. One second at 25 frames
    # a second, then one at 5.
    path = folder / "variable-rate.mkv"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=1"),
            *_lavfi("testsrc2=size=320x180:rate=5:duration=1"),
            "-filter_complex", "[0:v][1:v]concat=n=2:v=1:a=0[v]", "-map", "[v]",
            "-fps_mode", "vfr", *FAST_H264, path)
    return path


def make_phone_rotated(ffmpeg, folder):
    # A phone held upright records landscape pixels and a display matrix that turns them.
    plain = folder / "phone-plain.mp4"
    path = folder / "phone-rotated.mp4"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x176:rate=30:duration=2"),
            *_lavfi("sine=frequency=440:duration=2"), *FAST_H264, "-c:a", "aac", plain)
    try:
        # ffmpeg 6 and newer set the matrix as an input option.
        _ffmpeg(ffmpeg, "-display_rotation", "90", "-i", plain, "-c", "copy", path)
    except RuntimeError:
        # ffmpeg 5.1 turns a "rotate" tag into the matrix.
        _ffmpeg(ffmpeg, "-i", plain, "-c", "copy", "-metadata:s:v:0", "rotate=90", path)
    return path


def make_odd_size(ffmpeg, folder):
    # 4:4:4 so that x264 takes the odd size; 4:2:0 needs even sizes.
    path = folder / "odd-721x405.mkv"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=721x405:rate=25:duration=1,format=yuv444p"),
            "-c:v", "libx264", "-preset", "ultrafast", "-pix_fmt", "yuv444p", path)
    return path


def _boxes(data):
    """The ISO BMFF boxes laid end to end in `data`, as (type, whole box) pairs."""
    at = 0
    while at < len(data):
        size, kind = struct.unpack(">I4s", data[at : at + 8])
        if size < 8:  # 0 (to the end) and 1 (64-bit size) are not written by ffmpeg here
            raise RuntimeError(f"unexpected box size {size} of {kind!r}")
        yield kind, data[at : at + size]
        at += size


def _metadata_before_tracks(data):
    """The same MP4 with its metadata box (udta, where the cover art is) moved ahead of the
    tracks inside moov. moov keeps its size and place, so every chunk offset stays true."""
    whole = b""
    for kind, box in _boxes(data):
        if kind == b"moov":
            ahead = {b"mvhd": 0, b"udta": 1}
            inner = sorted(_boxes(box[8:]), key=lambda item: ahead.get(item[0], 2))
            box = box[:8] + b"".join(part for _, part in inner)
        whole += box
    return whole


# The film of the cover-art files is 640x360; its picture, as a thumbnail is, square.
COVER_SIZE = 300


def make_cover(ffmpeg, folder):
    path = folder / "cover.png"
    _ffmpeg(ffmpeg, *_lavfi(f"testsrc=size={COVER_SIZE}x{COVER_SIZE}:rate=1"), "-frames:v", "1",
            path)
    return path


def with_cover(ffmpeg, film, cover, stem):
    """The film as MP4 with the cover added as iTunes, taggers and "yt-dlp --embed-thumbnail" add
    it: a picture that ffmpeg lists as a video stream with the attached_pic disposition. ffmpeg
    writes it after the tracks, so it is listed last; with the metadata ahead of the tracks it is
    listed first. Gives (first, last)."""
    last = film.with_name(f"{stem}-last.mp4")
    first = film.with_name(f"{stem}-first.mp4")
    _ffmpeg(ffmpeg, "-i", film, "-i", cover, "-map", "0", "-map", "1", "-c", "copy",
            "-c:v:1", "mjpeg", "-disposition:v:1", "attached_pic", last)
    first.write_bytes(_metadata_before_tracks(last.read_bytes()))
    return first, last


def make_cover_art_mp4s(ffmpeg, folder, cover):
    film = folder / "cover-film.mp4"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=640x360:rate=25:duration=1"),
            *_lavfi("sine=frequency=440:duration=1"), *FAST_H264, "-c:a", "aac", film)
    return with_cover(ffmpeg, film, cover, "cover-art")


# Static HDR10 metadata as a UHD Blu-ray or a streaming service's master carries it.
MASTER_DISPLAY = "G(13250,34500)B(7500,3000)R(34000,16000)WP(15635,16450)L(10000000,1)"
MAX_CLL = "1000,400"


def make_hdr10(ffmpeg, folder):
    # HEVC Main 10, BT.2020 primaries, PQ transfer, mastering display and content light level.
    path = folder / "hdr10.mkv"
    _ffmpeg(ffmpeg, *_lavfi("testsrc2=size=320x180:rate=25:duration=1"),
            "-vf", "setparams=color_primaries=bt2020:color_trc=smpte2084:colorspace=bt2020nc",
            "-c:v", "libx265", "-preset", "ultrafast", "-pix_fmt", "yuv420p10le",
            "-x265-params", f"hdr10=1:master-display={MASTER_DISPLAY}:max-cll={MAX_CLL}:"
            "colorprim=bt2020:transfer=smpte2084:colormatrix=bt2020nc:log-level=error", path)
    return path


def make_corpus(ffmpeg, folder):
    """Every clip, by name; made once, each in well under a second but the three films."""
    fonts, font_name = make_fonts_mkv(ffmpeg, folder)
    cover = make_cover(ffmpeg, folder)
    cover_first, cover_last = make_cover_art_mp4s(ffmpeg, folder, cover)
    logo_film = make_film_logo_opening(ffmpeg, folder)
    # A film of a minute with its cover listed ahead of it: the opening run and the windows of
    # black-bar detection must measure the film all the same.
    film_cover_first, _ = with_cover(ffmpeg, logo_film, cover, "film-cover")
    return {
        "camera-timecode": make_timecode_mov(ffmpeg, folder),
        "chapters-text-track": make_chapters_mp4(ffmpeg, folder),
        "styled-fonts": fonts,
        "font-name": font_name,
        "many-tracks": make_many_tracks_mkv(ffmpeg, folder),
        "film-black-opening": make_film_black_opening(ffmpeg, folder),
        "film-logo-opening": logo_film,
        "film-pillarbox-opening": make_film_pillarbox_opening(ffmpeg, folder),
        "film-cover-first": film_cover_first,
        "interlaced": make_interlaced(ffmpeg, folder),
        "variable-rate": make_variable_frame_rate(ffmpeg, folder),
        "phone-rotated": make_phone_rotated(ffmpeg, folder),
        "odd-size": make_odd_size(ffmpeg, folder),
        "cover-art-first": cover_first,
        "cover-art-last": cover_last,
        "hdr10": make_hdr10(ffmpeg, folder),
    }
