#!/usr/bin/env python3
"""clean-run.py COMMAND [ARG...]

Runs a test run and checks that it leaves the machine as it found it: nothing left in /tmp (nor an
X socket in /tmp/.X11-unix), no new network namespace, no process of its own still running.
Exit status: the command's, or 1 when the command passed but left something behind.

As root the run gets a /tmp of its own (an empty folder bound over /tmp in a private mount
namespace), so what it leaves is told exactly from what others on a shared machine make meanwhile;
that folder goes afterwards. Otherwise /tmp is compared before and after.
The check makes itself the subreaper of the run, so a daemon the run started and forgot (however
it detached) becomes its child: those are the run's leftovers and are ended here, by their ids.
"""
import ctypes
import os
import shutil
import signal
import subprocess
import sys
import tempfile
import time

PR_SET_CHILD_SUBREAPER = 36
GRACE_SECONDS = 10  # lazy clean-ups (reaping, a socket file unlinked at exit) may finish late


def tmp_entries(tmp="/tmp"):
    names = set()
    for base, prefix in ((tmp, ""), (os.path.join(tmp, ".X11-unix"), ".X11-unix/")):
        try:
            names.update(prefix + n for n in os.listdir(base))
        except OSError:
            pass
    # The X socket folder is the system's; only what is inside it counts.
    names.discard(".X11-unix")
    return names


def namespaces():
    try:
        return set(os.listdir("/run/netns"))
    except OSError:
        return set()


def reap():
    while True:
        try:
            pid, _ = os.waitpid(-1, os.WNOHANG)
        except ChildProcessError:
            return
        if pid == 0:
            return


def process_table():
    """pid -> (ppid, state) of every live process."""
    table = {}
    for d in os.listdir("/proc"):
        if not d.isdigit():
            continue
        try:
            with open(f"/proc/{d}/stat") as f:
                stat = f.read()
        except OSError:
            continue
        # Fields after the parenthesised command: state, ppid, ...
        fields = stat[stat.rfind(")") + 2:].split()
        if len(fields) > 1 and fields[0] != "Z":
            table[int(d)] = (int(fields[1]), fields[0])
    return table


def orphans():
    """Live processes reparented to this one (the run has already been waited for)."""
    me = os.getpid()
    return [pid for pid, (ppid, _) in process_table().items() if ppid == me]


def describe(pid):
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode(errors="replace").strip()[:200]
    except OSError:
        return "?"


def end(pids):
    for sig in (signal.SIGTERM, signal.SIGKILL):
        for p in pids:
            try:
                os.kill(p, sig)
            except ProcessLookupError:
                pass
        deadline = time.monotonic() + 3
        while time.monotonic() < deadline:
            reap()
            if not [p for p in pids if p in orphans()]:
                return
            time.sleep(0.1)


def main():
    if len(sys.argv) < 2:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    libc = ctypes.CDLL(None, use_errno=True)
    libc.prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0)
    ns_before = namespaces()
    own_tmp = None
    if os.geteuid() == 0 and shutil.which("unshare"):
        own_tmp = tempfile.mkdtemp(prefix="tavro-run-", dir="/tmp")
        os.chmod(own_tmp, 0o1777)
        command = ["unshare", "-m", "--propagation", "private", "/bin/sh", "-c",
                   'mount --bind "$0" /tmp && exec "$@"', own_tmp] + sys.argv[1:]
        tmp, tmp_before = own_tmp, set()
    else:
        command = sys.argv[1:]
        tmp, tmp_before = "/tmp", tmp_entries()

    signal.signal(signal.SIGINT, signal.SIG_IGN)  # the run gets Ctrl-C; the check still follows
    rc = subprocess.call(command, preexec_fn=lambda: signal.signal(signal.SIGINT, signal.SIG_DFL))
    if rc < 0:
        rc = 128 - rc  # ended by a signal, as a shell reports it

    deadline = time.monotonic() + GRACE_SECONDS
    while True:
        reap()
        left_tmp = sorted(tmp_entries(tmp) - tmp_before)
        left_ns = sorted(namespaces() - ns_before)
        left_procs = orphans()
        if not (left_tmp or left_ns or left_procs) or time.monotonic() > deadline:
            break
        time.sleep(0.2)

    for name in left_tmp:
        print(f"clean-run: left in /tmp: {name}")
    for name in left_ns:
        print(f"clean-run: left a network namespace: {name}")
    for pid in left_procs:
        print(f"clean-run: left a process running: {pid} {describe(pid)} (ended now)")
    end(left_procs)
    if own_tmp:
        shutil.rmtree(own_tmp, ignore_errors=True)
    if left_tmp or left_ns or left_procs:
        return rc or 1
    print("clean-run: /tmp, network namespaces and processes as before the run")
    return rc


if __name__ == "__main__":
    sys.exit(main())
