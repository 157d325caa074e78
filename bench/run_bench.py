"""kestrin's benchmark report: every figure measured in this run against its floor or peer.

    ./run bench      (Markdown table on stdout, JSON in build/bench/report.json)
"""
import contextlib
import json
import os
import pathlib
import platform
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import textwrap
import time

HERE = pathlib.Path(__file__).resolve().parent
REPO = HERE.parent
sys.path.insert(0, str(HERE))
# The generated films of the real-world tests.
sys.path.insert(0, str(REPO / "tests" / "python"))

import kestrin  # noqa: E402
import real_world  # noqa: E402

PROBE_ROUNDS = 40
CROP_ROUNDS = 9


def median_time(function, rounds):
    samples = []
    for _ in range(rounds):
        started = time.perf_counter()
        function()
        samples.append(time.perf_counter() - started)
    return statistics.median(samples)


def make_clip(folder):
    clip = folder / "small.mkv"
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error", "-f", "lavfi",
                    "-i", "testsrc2=size=320x240:rate=25:duration=1", "-c:v", "libx264",
                    "-preset", "ultrafast", str(clip)], check=True)
    return clip


def probe_figures(clip):
    """kestrin.probe vs the bare ffprobe process vs subprocess.run + json.loads, interleaved."""
    argv = ["ffprobe", "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams",
            str(clip)]
    engine = kestrin.KestEngine()
    null = os.open(os.devnull, os.O_WRONLY)

    def bare():
        pid = os.posix_spawnp("ffprobe", argv, os.environ,
                              file_actions=[(os.POSIX_SPAWN_DUP2, null, 1)])
        os.waitpid(pid, 0)

    def by_hand():
        json.loads(subprocess.run(argv, capture_output=True, check=True).stdout)

    def with_kestrin():
        engine.probe(str(clip))

    samples = {"bare": [], "kestrin": [], "by_hand": []}
    for _ in range(PROBE_ROUNDS):
        for name, function in (("bare", bare), ("kestrin", with_kestrin), ("by_hand", by_hand)):
            samples[name].append(median_time(function, 1))
    os.close(null)
    return {name: statistics.median(values) for name, values in samples.items()}


def probe_after_allocation(clip, megabytes):
    """probe's median time in a fresh interpreter that has allocated and touched `megabytes`."""
    code = textwrap.dedent(f"""
        import statistics, time, kestrin
        block = bytearray({megabytes} << 20)
        for at in range(0, len(block), 4096):
            block[at] = 1
        engine = kestrin.KestEngine()
        samples = []
        for _ in range({PROBE_ROUNDS}):
            started = time.perf_counter()
            engine.probe({str(clip)!r})
            samples.append(time.perf_counter() - started)
        print(statistics.median(samples))
    """)
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    return float(out.stdout)


@contextlib.contextmanager
def first_on_path(folder):
    saved = os.environ["PATH"]
    os.environ["PATH"] = f"{folder}:{saved}"
    try:
        yield
    finally:
        os.environ["PATH"] = saved


def fake_program(folder, name, body):
    path = folder / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return path


def capture_figures(folder):
    """A child writing 200 MB to standard output: probe's collecting run vs subprocess.run."""
    size = 200 * 1000 * 1000
    bin_dir = folder / "capture-bin"
    bin_dir.mkdir()
    fake_program(bin_dir, "ffprobe", f"exec head -c {size} /dev/zero")
    engine = kestrin.KestEngine()

    def with_kestrin():
        try:
            engine.probe("x")
        except ValueError:  # 200 MB of zero bytes is no JSON report
            pass

    def by_hand():
        subprocess.run(["ffprobe"], capture_output=True)

    with first_on_path(bin_dir):
        kestrin_time = median_time(with_kestrin, 5)
        peer_time = median_time(by_hand, 5)
    return {"kestrin_mb_s": size / 1e6 / kestrin_time, "peer_mb_s": size / 1e6 / peer_time}


def python_loop(cpu):
    """What a user would write by hand: read the records, split, trim, write each line."""
    started = cpu()
    child = subprocess.Popen(["ffmpeg"], stderr=subprocess.PIPE)
    pending = b""
    prefix = "\r\x1b[2K  > [\u2726 KESTRIN] ENCODE | "
    while chunk := child.stderr.read1(8192):
        pending += chunk
        *complete, pending = pending.split(b"\r")
        for item in complete:
            text = item.decode().strip()
            if "frame=" in text:
                os.write(1, (prefix + text[text.rindex("frame="):]).encode())
    child.wait()
    return cpu() - started


def progress_figures(folder, records=200_000):
    """Parent CPU per statistics record while transform streams them to a stdout on /dev/null,
    against a plain Python loop that reads, splits and writes the same records."""
    record = b"frame=  100 fps= 48 q=-1.0 size=     300KiB time=00:00:03.92 bitrate= 626.6kbits/s speed=1.89x    \r"
    log = folder / "records.log"
    log.write_bytes(record * records)
    bin_dir = folder / "progress-bin"
    bin_dir.mkdir()
    fake_program(bin_dir, "ffmpeg", f"exec cat {log} >&2")
    engine = kestrin.KestEngine()
    null = os.open(os.devnull, os.O_WRONLY)
    saved_stdout = os.dup(1)
    try:
        def cpu():
            usage = resource.getrusage(resource.RUSAGE_SELF)
            return usage.ru_utime + usage.ru_stime

        os.dup2(null, 1)
        with first_on_path(bin_dir):
            started = cpu()
            engine.transform("in", "out", "libx264", "720", "", "")
            kestrin_cpu = cpu() - started
            loop_cpu = python_loop(cpu)
    finally:
        os.dup2(saved_stdout, 1)
        os.close(saved_stdout)
        os.close(null)
    return {"kestrin_us": kestrin_cpu / records * 1e6, "python_loop_us": loop_cpu / records * 1e6}


# The high-water mark of the interpreter's own memory (VmHWM). getrusage's ru_maxrss would not
# do: Linux carries it across fork and exec, so a fresh interpreter started by this one would
# report the bench's own peak.
PEAK_RSS = """
import kestrin
def peak_kb():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
engine = kestrin.KestEngine()
before = peak_kb()
{call}
print(before, peak_kb())
"""


def peak_rss(call, bin_dir):
    """The interpreter's peak RSS in MiB (its children not counted) before and after `call`, in
    a fresh interpreter with the doubles in `bin_dir` first on PATH."""
    env = dict(os.environ, PATH=f"{bin_dir}:{os.environ['PATH']}")
    out = subprocess.run([sys.executable, "-c", PEAK_RSS.format(call=call)], env=env,
                         capture_output=True, text=True, check=True).stdout
    before, after = (int(kb) / 1024 for kb in out.split())
    return before, after


def memory_figures(folder, report_mb=50, stderr_mb=500):
    """Peak RSS of probe on a report of `report_mb` (an array of small integers, the costliest
    shape for a document tree) and of get_blackbar_coords against an ffmpeg that writes
    `stderr_mb` of short lines, each beside the interpreter's own before the call."""
    report = folder / "large-report.json"
    with open(report, "w") as out:
        out.write('{"streams": [{"codec_type": "video", "width": 64, "height": 48}], "padding": [')
        for _ in range(report_mb):
            out.write("1," * (1000 * 1000 // 2))
        out.write("1]}")
    small = folder / "small-report.json"
    small.write_text('{"streams": [{"codec_type": "video", "width": 64, "height": 48}]}')
    line = "[Parsed_cropdetect_0 @ 0x1] x1:0 x2:63 y1:8 y2:39 w:64 h:32 x:0 y:8 crop=64:32:0:8"
    probe_bin = folder / "memory-probe-bin"
    probe_bin.mkdir()
    fake_program(probe_bin, "ffprobe", f"exec cat {report}")
    crop_bin = folder / "memory-crop-bin"
    crop_bin.mkdir()
    fake_program(crop_bin, "ffprobe", f"exec cat {small}")
    fake_program(crop_bin, "ffmpeg", f"yes '{line}' | head -c {stderr_mb * 1000 * 1000} >&2")
    probe_before, probe_peak = peak_rss("engine.probe('x')", probe_bin)
    crop_before, crop_peak = peak_rss("engine.get_blackbar_coords('x')", crop_bin)
    return {"report_mb": report_mb, "report_mib": report.stat().st_size / 2**20,
            "stderr_mb": stderr_mb,
            "probe": {"interpreter_mb": probe_before, "peak_mb": probe_peak},
            "blackbar": {"interpreter_mb": crop_before, "peak_mb": crop_peak}}


def spawned(argv):
    """Starts argv with no terminal, throws its output away and waits: the floor of a run."""
    def run():
        null = os.open(os.devnull, os.O_RDWR)
        try:
            actions = [(os.POSIX_SPAWN_DUP2, null, 0), (os.POSIX_SPAWN_DUP2, null, 1),
                       (os.POSIX_SPAWN_DUP2, null, 2)]
            pid = os.posix_spawnp(argv[0], argv, os.environ, file_actions=actions)
            os.waitpid(pid, 0)
        finally:
            os.close(null)
    return run


def one_crop_film(path, cpus=None):
    """get_blackbar_coords on `path`, the probe and both cropdetect runs included, against its
    floor, the probe and the opening's cropdetect run one after the other as kestrin ran them
    before the windows came (and HandBrakeCLI's scan where it is installed), interleaved. With
    `cpus`, every process runs on those processors only, as under taskset."""
    engine = kestrin.KestEngine()
    probe = ["ffprobe", "-v", "quiet", "-print_format", "json", "-show_format", "-show_streams",
             str(path)]
    opening = ["ffmpeg", "-hide_banner", "-loglevel", "info", "-i", str(path), "-vf",
               "cropdetect=24:16:0", "-vframes", "100", "-f", "null", "-"]
    probe_run, opening_run = spawned(probe), spawned(opening)

    def floor():
        probe_run()
        opening_run()

    timed = {"kestrin": lambda: engine.get_blackbar_coords(str(path)), "floor": floor}
    if shutil.which("HandBrakeCLI"):
        timed["handbrake"] = spawned(["HandBrakeCLI", "-i", str(path), "--scan"])
    samples = {name: [] for name in timed}
    everywhere = os.sched_getaffinity(0)
    if cpus is not None:
        os.sched_setaffinity(0, cpus)
    try:
        for _ in range(CROP_ROUNDS):
            for name, function in timed.items():
                samples[name].append(median_time(function, 1))
    finally:
        os.sched_setaffinity(0, everywhere)
    figures = {name: statistics.median(values) for name, values in samples.items()}
    figures["answer"] = engine.get_blackbar_coords(str(path))
    return figures


def crop_figures(folder):
    """Black-bar detection on a 3-minute 1920x1080 film that opens on a logo, on two cores and on
    one, and on a two-hour film joined from copies of it without re-encoding; each answer beside
    the film's picture."""
    film = real_world.picture(1920, 800, 0, 140)
    path = real_world.joined_film("ffmpeg", folder / "film-3min.mkv", 24,
                                  [(real_world.LOGO, 10, 1), (film, 10, 17)])
    # 41 copies, 123 minutes: with 40, every window would start a whole number of copies in, on
    # a logo, which no film repeats every three minutes.
    listing = folder / "film-2h.ffconcat"
    listing.write_text(f"file '{path.name}'\n" * 41)
    long_path = folder / "film-2h.mkv"
    subprocess.run(["ffmpeg", "-nostdin", "-y", "-hide_banner", "-loglevel", "error", "-f",
                    "concat", "-safe", "0", "-i", str(listing), "-c", "copy", str(long_path)],
                   check=True)
    return {"picture": real_world.FILM_PICTURES["film-logo-opening"],
            "3min": one_crop_film(path), "2h": one_crop_film(long_path),
            # The first processor alone: the two cropdetect runs share it.
            "3min_one_core": one_crop_film(path, cpus={min(os.sched_getaffinity(0))})}


def crop_rows(crop):
    rows = []
    films = [("3min", "3-min 1080p film with a logo opening", "<= 1.1x", "<= 1.3x"),
             ("2h", "two-hour film of its copies", "<= 1.1x", "<= 1.3x"),
             ("3min_one_core", "3-min film on one core", "information", "information")]
    for key, film, floor_target, peer_target in films:
        figures = crop[key]
        whole = f"{figures['kestrin'] * 1e3:.0f} ms"
        rows.append((f"get_blackbar_coords, {film}", whole,
                     f"probe + opening's cropdetect {figures['floor'] * 1e3:.0f} ms",
                     f"{figures['kestrin'] / figures['floor']:.2f}x", floor_target))
        if "handbrake" in figures:
            rows.append((f"get_blackbar_coords vs HandBrakeCLI --scan, {film}", whole,
                         f"HandBrakeCLI {figures['handbrake'] * 1e3:.0f} ms",
                         f"{figures['kestrin'] / figures['handbrake']:.2f}x", peer_target))
        else:
            rows.append((f"get_blackbar_coords vs HandBrakeCLI --scan, {film}", whole,
                         "HandBrakeCLI not installed", "-", "information"))
        rows.append((f"get_blackbar_coords' answer, {film}", figures["answer"],
                     f"the picture {crop['picture']}",
                     "equal" if figures["answer"] == crop["picture"] else "DIFFERENT", "equal"))
    # Fast seeking reaches a window of a long film as cheaply as one of a short film.
    rows.append(("get_blackbar_coords, two-hour vs 3-min film",
                 f"{crop['2h']['kestrin'] * 1e3:.0f} ms",
                 f"3-min film {crop['3min']['kestrin'] * 1e3:.0f} ms",
                 f"{crop['2h']['kestrin'] / crop['3min']['kestrin']:.2f}x", "about 1x"))
    return rows


def first_line(argv):
    try:
        return subprocess.run(argv, capture_output=True, text=True).stdout.splitlines()[0]
    except (OSError, IndexError):
        return "unknown"


def main():
    rows = []
    report = {
        "machine": {
            "cores": len(os.sched_getaffinity(0)),
            "python": platform.python_version(),
            "ffmpeg": first_line(["ffmpeg", "-version"]),
        },
    }
    with tempfile.TemporaryDirectory(prefix="kestrin-bench-") as name:
        folder = pathlib.Path(name)
        clip = make_clip(folder)

        probe = probe_figures(clip)
        report["probe"] = probe
        rows.append(("probe of a small file", f"{probe['kestrin'] * 1e3:.1f} ms",
                     f"bare ffprobe {probe['bare'] * 1e3:.1f} ms",
                     f"{probe['kestrin'] / probe['bare']:.3f}x", "<= 1.03x"))
        rows.append(("probe vs subprocess.run + json.loads", f"{probe['kestrin'] * 1e3:.1f} ms",
                     f"by hand {probe['by_hand'] * 1e3:.1f} ms",
                     f"{probe['kestrin'] / probe['by_hand']:.3f}x", "< 1x"))

        small = probe_after_allocation(clip, 50)
        large = probe_after_allocation(clip, 4096)
        report["probe_after_allocation"] = {"50MB": small, "4GB": large}
        rows.append(("probe in a 4 GB vs a 50 MB parent", f"{large * 1e3:.1f} ms",
                     f"{small * 1e3:.1f} ms", f"{large / small:.3f}x", "<= 1.1x"))

        capture = capture_figures(folder)
        report["capture"] = capture
        rows.append(("capture 200 MB of stdout", f"{capture['kestrin_mb_s']:.0f} MB/s",
                     f"subprocess.run {capture['peer_mb_s']:.0f} MB/s",
                     f"{capture['kestrin_mb_s'] / capture['peer_mb_s']:.2f}x", ">= 1x"))

        progress = progress_figures(folder)
        report["progress"] = progress
        rows.append(("parent CPU per progress record", f"{progress['kestrin_us']:.2f} us",
                     f"Python loop {progress['python_loop_us']:.2f} us",
                     f"{progress['kestrin_us'] / progress['python_loop_us']:.2f}x", "<= 1x"))

        memory = memory_figures(folder)
        report["peak_rss"] = memory
        probe_rss, crop_rss = memory["probe"], memory["blackbar"]
        # The report itself is held while it is read; nothing else should grow with it.
        probe_floor = probe_rss["interpreter_mb"] + memory["report_mib"]
        rows.append((f"peak RSS, probe of a {memory['report_mb']} MB report",
                     f"{probe_rss['peak_mb']:.1f} MiB",
                     f"interpreter {probe_rss['interpreter_mb']:.1f} MiB + report "
                     f"{memory['report_mib']:.1f} MiB",
                     f"{probe_rss['peak_mb'] / probe_floor:.2f}x", "<= 1.1x"))
        rows.append((f"peak RSS, get_blackbar_coords, {memory['stderr_mb']} MB of stderr",
                     f"{crop_rss['peak_mb']:.1f} MiB",
                     f"interpreter {crop_rss['interpreter_mb']:.1f} MiB",
                     f"{crop_rss['peak_mb'] / crop_rss['interpreter_mb']:.2f}x", "<= 1.1x"))

        import jobs_overhead

        report["kestrin_jobs"] = jobs_overhead.measure(clip, folder)
        rows.append(jobs_overhead.row(report["kestrin_jobs"]))
        rows.append(jobs_overhead.verification_row(report["kestrin_jobs"]))
        report["kestrin_jobs_doubles"] = jobs_overhead.measure_doubles(folder)
        rows.extend(jobs_overhead.double_rows(report["kestrin_jobs_doubles"]))

        import interlace_overhead

        report["interlace"] = interlace_overhead.measure(folder)
        rows.extend(interlace_overhead.rows(report["interlace"]))

        crop = crop_figures(folder)
        report["blackbar"] = crop
        rows.extend(crop_rows(crop))

    try:
        import batch_makespan
    except ImportError:
        batch_makespan = None
    if batch_makespan is not None:
        batch = batch_makespan.measure()
        report["batch"] = batch
        rows.extend(batch_makespan.rows(batch))

    import crf_search

    report["crf_search"] = crf_search.measure("xpsnr", 38.0, "film")
    rows.extend(crf_search.rows(report["crf_search"]))

    machine = report["machine"]
    print(f"Machine: {machine['cores']} cores, Python {machine['python']}, {machine['ffmpeg']}\n")
    print("| measure | kestrin | floor or peer | ratio | target |")
    print("|---|---|---|---|---|")
    for row in rows:
        print("| " + " | ".join(row) + " |")
    out = REPO / "build" / "bench"
    out.mkdir(parents=True, exist_ok=True)
    (out / "report.json").write_text(json.dumps(report, indent=2) + "\n")
    print(f"\n(JSON: {out / 'report.json'})")


if __name__ == "__main__":
    main()
