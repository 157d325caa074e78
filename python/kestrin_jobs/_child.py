"""The encode process: one ``KestEngine.transform``, its reply written to a pipe as JSON.

Run by path, not imported (``python -S _child.py PARENT RESULT_FD SYS_PATH ARGUMENTS``), so that
the package's own imports do not slow its start; it takes the parent's ``sys.path`` before it
imports kestrin, so it finds the same module that the parent would.

The death signal is requested first thing, then the parent is checked: had the parent died
before the request, the child would already belong to another process and would never get the
signal. ffmpeg needs a guard of its own: it ignores SIGPIPE and encodes on to the end when its
pipes break, and a death signal cannot be passed on to it through kestrin's spawn. So the child
leads a process group (made at its spawn), which ffmpeg joins, and forks a guard that waits on a
pipe: a byte means the child finished and will reap the guard; the end of the pipe without one
means the child died, and the guard kills the group. Neither that pipe nor the result pipe may
reach ffmpeg (it would keep them open after the child's death): both are close-on-exec.
"""
import ctypes
import json
import os
import signal
import sys

PR_SET_PDEATHSIG = 1


def error_reply(error: BaseException) -> dict[str, object]:
    try:
        message = str(error)
    except Exception:  # a str() that fails, or no memory left to make it
        message = ""
    reply: dict[str, object] = {"error": type(error).__name__, "message": message}
    if isinstance(error, UnicodeEncodeError):
        # Its five parts rebuild it whole; a lone surrogate survives JSON's \u escapes.
        reply["unicode"] = [error.encoding, error.object, error.start, error.end, error.reason]
    return reply


def main(argv: list[str]) -> None:
    parent, result_fd = int(argv[0]), int(argv[1])
    os.set_inheritable(result_fd, False)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.prctl(PR_SET_PDEATHSIG, int(signal.SIGKILL), 0, 0, 0) != 0:
        sys.exit("kestrin_jobs: prctl(PR_SET_PDEATHSIG) failed")
    if os.getppid() != parent:
        sys.exit("kestrin_jobs: the caller ended before the encode started")
    watch, finished = os.pipe()
    guard = os.fork()
    if guard == 0:
        os.close(finished)
        os.close(result_fd)
        null = os.open(os.devnull, os.O_RDWR)
        for fd in (0, 1, 2):
            os.dup2(null, fd)
        if not os.read(watch, 1):
            os.killpg(0, signal.SIGKILL)
        os._exit(0)
    os.close(watch)
    sys.path[:] = json.loads(argv[2])
    reply: dict[str, object]
    try:
        import kestrin

        reply = {"ok": kestrin.KestEngine().transform(*json.loads(argv[3]))}
    except BaseException as error:
        reply = error_reply(error)
    os.write(finished, b"x")
    os.waitpid(guard, 0)
    # The parent reads this pipe while it reads the console, so a reply of any size gets through.
    with open(result_fd, "wb") as out:
        out.write(json.dumps(reply).encode())


if __name__ == "__main__":
    main(sys.argv[1:])
