"""examples/slurm_array.sh on a one-host Slurm cluster (munged, slurmctld and two slurmd of one
CPU each) that the test starts as root from a configuration in a temporary folder and stops again.

Run by `./run check` inside a PID namespace of its own, so that nothing the test started outlives
it even when it is killed; the teardown also stops every process that carries the test's marker in
its environment, and checks that none is left.
"""
import contextlib
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import time

import pytest

REPO = pathlib.Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "tests" / "python"))

from conftest import ffprobe_json, make_sample_clip  # noqa: E402

DAEMONS = ("munged", "slurmctld", "slurmd")
MARKER = "KESTRIN_TEST_SLURM"

pytestmark = [
    pytest.mark.skipif(os.geteuid() != 0, reason="the Slurm daemons are started as root"),
    pytest.mark.skipif(not all(shutil.which(d, path="/usr/sbin") for d in DAEMONS)
                       or not shutil.which("ffmpeg", path="/usr/bin"),
                       reason="munge, slurmctld, slurmd or ffmpeg is not installed"),
]


def free_ports(count):
    sockets = [socket.socket() for _ in range(count)]
    for each in sockets:
        each.bind(("127.0.0.1", 0))
    ports = [each.getsockname()[1] for each in sockets]
    for each in sockets:
        each.close()
    return ports


def slurm_conf(folder, munge_socket):
    controller, node1, node2 = free_ports(3)
    return f"""\
ClusterName=kestrin
SlurmctldHost=localhost(127.0.0.1)
SlurmctldPort={controller}
SlurmUser=root
SlurmdUser=root
AuthType=auth/munge
AuthInfo=socket={munge_socket}
CredType=cred/munge
StateSaveLocation={folder}/state
SlurmdSpoolDir={folder}/spool/%n
SlurmctldPidFile={folder}/slurmctld.pid
SlurmdPidFile={folder}/slurmd-%n.pid
SlurmctldLogFile={folder}/slurmctld.log
SlurmdLogFile={folder}/slurmd-%n.log
ProctrackType=proctrack/linuxproc
TaskPlugin=task/none
SelectType=select/cons_tres
MpiDefault=none
ReturnToService=2
JobAcctGatherType=jobacct_gather/none
AccountingStorageType=accounting_storage/none
NodeName=node1 NodeHostname=localhost NodeAddr=127.0.0.1 Port={node1} CPUs=1 RealMemory=512
NodeName=node2 NodeHostname=localhost NodeAddr=127.0.0.1 Port={node2} CPUs=1 RealMemory=512
PartitionName=main Nodes=node1,node2 Default=YES MaxTime=INFINITE State=UP
"""


def marked_processes(marker):
    """The pids of every process whose environment carries the test's marker."""
    needle = f"{MARKER}={marker}".encode()
    found = []
    for entry in pathlib.Path("/proc").iterdir():
        if not entry.name.isdigit() or int(entry.name) == os.getpid():
            continue
        try:
            if needle in (entry / "environ").read_bytes().split(b"\0"):
                found.append(int(entry.name))
        except OSError:
            continue
    return found


def wait_until(condition, timeout, what):
    deadline = time.monotonic() + timeout
    while not condition():
        if time.monotonic() > deadline:
            raise AssertionError(f"no {what} within {timeout} s")
        time.sleep(0.2)


@pytest.fixture
def cluster(tmp_path):
    """The environment for Slurm commands against a running one-host cluster."""
    folder = tmp_path / "slurm"
    (folder / "munge").mkdir(parents=True)
    (folder / "state").mkdir()
    (folder / "spool").mkdir()
    munge = folder / "munge"
    conf = folder / "slurm.conf"
    conf.write_text(slurm_conf(folder, munge / "munge.socket"))
    env = dict(os.environ, SLURM_CONF=str(conf), **{MARKER: str(folder)})
    subprocess.run(["mungekey", "--create", f"--keyfile={munge / 'munge.key'}"], check=True,
                   env=env, capture_output=True)
    daemons = []
    try:
        def start(*argv, log):
            with open(folder / log, "wb") as output:
                daemons.append(subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                                stdout=output, stderr=subprocess.STDOUT))
        start("munged", "--foreground", "--force", f"--key-file={munge / 'munge.key'}",
              f"--socket={munge / 'munge.socket'}", f"--pid-file={munge / 'munged.pid'}",
              f"--log-file={munge / 'munged.log'}", f"--seed-file={munge / 'seed'}",
              log="munged.out")
        wait_until(lambda: (munge / "munge.socket").exists(), 10, "munge socket")
        start("slurmctld", "-D", "-f", str(conf), log="slurmctld.out")
        for node in ("node1", "node2"):
            start("slurmd", "-D", "-N", node, "-f", str(conf), log=f"slurmd-{node}.out")

        def both_idle():
            states = subprocess.run(["sinfo", "-h", "-N", "-o", "%T"], env=env,
                                    capture_output=True, text=True).stdout.split()
            return states == ["idle", "idle"]
        wait_until(both_idle, 30, "two idle nodes")
        yield env
    finally:
        subprocess.run(["scancel", "--full", "--user=root"], env=env, capture_output=True,
                       timeout=30)
        for daemon in reversed(daemons):
            daemon.terminate()
        for daemon in reversed(daemons):
            try:
                daemon.wait(timeout=10)
            except subprocess.TimeoutExpired:
                daemon.kill()
                daemon.wait()
        # Job steps (slurmstepd) and their programs outlive slurmd: end them too.
        for pid in marked_processes(str(folder)):
            with contextlib.suppress(ProcessLookupError):
                os.kill(pid, signal.SIGKILL)
        wait_until(lambda: not marked_processes(str(folder)), 10, "end of every test process")


def test_slurm_array_encodes_every_task(cluster, tmp_path):
    clip = make_sample_clip(tmp_path / "film.mkv", seconds=1, size="320x240", bars=32)
    out = tmp_path / "out"
    out.mkdir()
    heights = [64, 96, 128, 64, 96, 128, 64, 96]
    tasks = tmp_path / "tasks.tsv"
    tasks.write_text("".join(f"{clip}\t{out}/film{i}.mkv\tlibx264\t{h}\t\t-preset ultrafast\n"
                             for i, h in enumerate(heights, 1)))
    began = time.monotonic()
    done = subprocess.run(["sbatch", "--parsable", f"--array=1-{len(heights)}%2",
                           "--cpus-per-task=1", str(REPO / "examples" / "slurm_array.sh"),
                           str(tasks)],
                          cwd=tmp_path, env=cluster, capture_output=True, text=True, timeout=60)
    assert done.returncode == 0, done.stdout + done.stderr
    job = done.stdout.strip()

    def left_the_queue():
        return not subprocess.run(["squeue", "-h", "-j", job], env=cluster, capture_output=True,
                                  text=True, check=True).stdout.strip()
    # sbatch --wait would poll with growing pauses; this measures the array itself.
    wait_until(left_the_queue, 240, "end of the array")
    elapsed = time.monotonic() - began
    print(f"{len(heights)} array tasks in {elapsed:.1f} s")
    states = subprocess.run(["scontrol", "-o", "show", "job", job], env=cluster,
                            capture_output=True, text=True, check=True).stdout
    assert states.count("JobState=COMPLETED") == len(heights), states
    for number, height in enumerate(heights, 1):
        output = out / f"film{number}.mkv"
        video = ffprobe_json(output)["streams"][0]
        assert (video["codec_name"], video["height"]) == ("h264", height)
        log = (tmp_path / f"kestrin-{job}_{number}.log").read_text()
        assert log.startswith(f"task {number} of job {job} on ")
        assert log.rstrip().endswith(f"{output}: done")
        assert " -preset ultrafast -nostdin " in log
    assert sorted(p.name for p in out.iterdir()) == [f"film{i}.mkv" for i in range(1, 9)]
