#!/usr/bin/env python3
"""Several instances of the program, and other programs, at one hosts file at the same time.

  together  K instances at once, each with its own session of adds, replaces, deletes, listings
            and backups, for several rounds: every change reported is in the final file (or was
            changed again later by another instance, for a shared host), every failure left no
            trace, every untouched line is still there byte for byte and in order, no host is
            there twice, and no instance failed because another was at work
  outside   programs that take no lock change the hosts file at the worst moment, which strace
            holds open (delay_enter): the change is kept and the command fails with
            write_changed, or, when its own write fails, cuts back only its own bytes (OUTSIDE);
            reports, signals and a closed stderr wait until the file is whole or undone, and a
            mount point planted in the working folder is never entered
  turns     an instance held by strace inside its change keeps a second one waiting, which says
            so once, goes on as soon as the first ends or is killed, or gives up at its bound and
            changes nothing; where no lock can be had a command goes on without one (TURNS)
  other users, played by setpriv, can neither stall a turn nor reach a new version

Exit status: 0 when every check passed, 1 otherwise, 77 when the case cannot run here.
"""

import argparse
import ctypes
import os
import re
import shutil
import signal
import subprocess
import sys
import threading
import time

import harness
import program_texts
from harness import Checks, HostsFolder, skip, strace_cannot, traced_env, wait_in_call

TEXTS = program_texts.load()
CODES = program_texts.codes()
SCREEN, ADD, DELETE = program_texts.prompts(TEXTS)
PR_SET_CHILD_SUBREAPER = 36

ARGS = argparse.Namespace()
CHECKS = Checks()
expect = CHECKS.expect


def added(request):
    return program_texts.filled(TEXTS["added"], request)


def deleted(request):
    return program_texts.filled(TEXTS["deleted"], request)


def failed(tag, code):
    return program_texts.err_line(tag, CODES[code])


def screens(*outputs):
    """The whole stdout of a run: each command's output after its menu, then the last menu."""
    return b"".join(SCREEN + output for output in outputs) + SCREEN + b"\n"


class Machine(HostsFolder):
    """The hosts file in a temporary etc/, and a working folder for each instance."""

    def __init__(self, hosts):
        super().__init__(hosts, "hosts-instances-")

    def start(self, name, stdin, program=None, strace=None):
        """Starts an instance in its own working folder, its whole input already in a file, and
        under strace with the options `strace`, if given."""
        path = os.path.join(self.root, name + ".in")
        self.write(stdin, path)
        command, env = program if isinstance(program, list) else [program or ARGS.program], None
        if strace is not None:
            command = [ARGS.strace, "-f", "-qq", "-o", os.devnull] + strace + command
            env = traced_env()
        with open(path, "rb") as f:
            return subprocess.Popen(command, stdin=f, stdout=subprocess.PIPE,
                                    stderr=subprocess.PIPE, cwd=self.work(name), env=env)


def finish(proc, timeout=60):
    try:
        out, err = proc.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        proc.kill()
        out, err = proc.communicate()
        CHECKS.fail(f"an instance did not end within {timeout} s")
    return out, err, proc.returncode


# --- together ------------------------------------------------------------------------------------

INSTANCES, ROUNDS, SHARED = 6, 3, 4


def seed(i, r):
    return f"10.50.{i}.{r} seed-{i}-{r}.test".encode()


def shared(s):
    return f"10.60.0.{s} shared-{s}.test".encode()


def base_file():
    """A hosts file with comments, blank and indented lines, the shared hosts, a seed entry for
    each instance and round (to be deleted), and a few thousand other entries."""
    lines = [b"# hosts for several instances at once", b"127.0.0.1 localhost", b"::1 ip6-localhost",
             b"", b"# shared"] + [shared(s) for s in range(SHARED)]
    lines += [b"# seeds"] + [seed(i, r) for i in range(INSTANCES) for r in range(ROUNDS)]
    for j in range(3000):
        if j % 100 == 0:
            lines += [b"", f"# block {j // 100}".encode(), b"    10.9.9.9 indented.test"]
        lines.append(f"0.0.0.0 filler-{j}.test".encode())
    return b"\n".join(lines + [b"# end"]) + b"\n"


def session(i):
    """Instance i's commands, each (command, request or None, expected outcome). Every request has
    an address of its own, so that each line in the file shows which command wrote it."""
    steps = []
    for r in range(ROUNDS):
        def ip(step):
            return f"10.{100 + i}.{r}.{step}"
        steps += [
            ("2", f"{ip(1)} own-{i}-{r}-a.test", "added"),
            ("2", f"{ip(2)} own-{i}-{r}-b.test", "added"),
            ("2", f"{ip(3)} shared-{(i + r) % SHARED}.test", "added"),
            ("4", f"{ip(4)} own-{i}-{r}-a.test", "deleted"),
            ("2", f"{ip(5)} own-{i}-{r}-b.test", "added"),
            ("4", f"{ip(6)} seed-{i}-{r}.test", "deleted"),
            ("3", None, "listed"),
            ("1", None, "backed_up"),
            ("4", f"{ip(9)} missing-{i}-{r}.test", "missing"),
        ]
    return [(c, q.encode() if q else None, outcome) for c, q, outcome in steps]


def stdin_of(steps):
    return b"".join(c.encode() + b"\n" + (q + b"\n" if q else b"") for c, q, _ in steps)


def outcome_of(output, request):
    """What one command's output says happened."""
    if request is not None and added(request) in output:
        return "added"
    if request is not None and deleted(request) in output:
        return "deleted"
    if TEXTS["backed_up"] in output:
        return "backed_up"
    if failed("hosts_write", "write_missing") in output:
        return "missing"
    if b" err: " in output or TEXTS["read_changed"] in output or TEXTS["write_changed"] in output:
        return "failed: " + output.decode("gbk", "replace").strip()
    return "listed" if request is None else "unknown: " + output.decode("gbk", "replace").strip()


def host(line):
    return line.split(b" ", 1)[1] if b" " in line else None


def is_entry(line):
    return line[:1] not in (b"", b"#", b" ", b"\t")


def check_whole_version(what, content, untouched):
    """A file that another instance's change may have been half way through must still be one
    whole version: every untouched line in order, no host twice."""
    lines = content.split(b"\n")
    expect(f"{what}: the untouched lines, in order", [l for l in lines if l in untouched],
           [l for l in BASE_LINES if l in untouched])
    hosts = [host(l) for l in lines if is_entry(l)]
    expect(f"{what}: hosts that appear twice", sorted({h for h in hosts if hosts.count(h) > 1}), [])


BASE = base_file()
BASE_LINES = BASE.split(b"\n")


def together():
    with Machine(BASE) as m:
        sessions = {i: session(i) for i in range(INSTANCES)}
        for round_ in range(ARGS.repeat):
            m.replace_by(BASE)
            started = time.monotonic()
            procs = {i: m.start(f"i{i}", stdin_of(sessions[i])) for i in sessions}
            results = {i: finish(p) for i, p in procs.items()}
            elapsed = time.monotonic() - started
            check_together(m, sessions, results)
            print(f"together, run {round_ + 1}: {INSTANCES} instances, "
                  f"{sum(len(s) for s in sessions.values())} commands, {elapsed:.2f} s", flush=True)


def check_together(m, sessions, results):
    outcomes = {i: check_instance(m, i, sessions[i], results[i]) for i in sessions}
    final = m.content()
    lines = final.split(b"\n")
    entries = [l for l in lines if is_entry(l)]
    expect("entries in the final file, but for the shared hosts",
           sorted(l for l in entries if not is_shared(l)), expected_entries(sessions, outcomes))
    for s in range(SHARED):
        name = host(shared(s))
        adds = {q for i in sessions for (_, q, _), got in zip(sessions[i], outcomes[i])
                if got == "added" and host(q) == name}
        there = [l for l in entries if host(l) == name]
        expect(f"{name.decode()}: one line, from one of the adds that reported success",
               len(there) == 1 and there[0] in adds, True)
    check_whole_version("final file", final, UNTOUCHED)
    expect("files beside the hosts file", m.beside(), ["hosts"])


def check_instance(m, i, steps, result):
    """Checks how instance i ran; the outcome of each of its commands."""
    out, err, status = result
    expect(f"instance {i}: exit status", status, 0)
    expect(f"instance {i}: stderr", err, b"")
    outputs = out.split(SCREEN)[1:-1]
    expect(f"instance {i}: commands run", len(outputs), len(steps))
    outcomes = [outcome_of(output, q) for (_, q, _), output in zip(steps, outputs)]
    for k, ((command, request, want), got) in enumerate(zip(steps, outcomes)):
        expect(f"instance {i}, command {k} ({command} {request}): outcome", got, want)
    check_whole_version(f"instance {i}'s last backup", m.content(os.path.join(m.work(f"i{i}"), "hosts")), UNTOUCHED)
    return outcomes


def expected_entries(sessions, outcomes):
    """The starting entries with every change that reported success made, in each instance's
    order; each host but the shared ones is changed by one instance alone."""
    state = {host(l): l for l in BASE_LINES if is_entry(l) and not is_shared(l)}
    for i, steps in sessions.items():
        for (_, request, _), got in zip(steps, outcomes[i]):
            if got == "added" and not is_shared(request):
                state[host(request)] = request
            elif got == "deleted":
                state.pop(host(request), None)
    return sorted(state.values())


def is_shared(line):
    return host(line).startswith(b"shared-")


# The lines of the starting file that no session changes: everything but the shared hosts and
# the seeds (and the final empty piece after the last line end).
UNTOUCHED = {l for l in BASE_LINES if not (is_entry(l) and host(l).startswith((b"shared-", b"seed-")))}


# --- holding a program inside a call -------------------------------------------------------------

def tracee(strace_proc, program=None):
    """The program under test that strace started."""
    return harness.tracee(strace_proc, program or ARGS.program)


def wait_inside(pid, call, path_part, timeout=10, failing=False):
    """harness.wait_in_call for process `pid` alone, on a file whose path holds `path_part`."""
    return wait_in_call(lambda: [pid], call, lambda path: path_part in path, timeout,
                        failing=failing)


def held(call, path, seconds, occurrence="1", fault="", also=None):
    """strace options that hold the program at the entry of its `occurrence`th `call` on `path`
    (or on any file, for path None) for `seconds`, then give it `fault` (e.g. "error=EIO"), and
    inject `also`, (call, tampering), besides."""
    calls = call + ("," + also[0] if also else "")
    options = ["-e", f"trace={calls}", "-e",
               f"inject={call}:delay_enter={int(seconds * 1e6)}:when={occurrence}"
               + (":" + fault if fault else "")]
    options += ["-e", f"inject={also[0]}:{also[1]}"] if also else []
    return (["-P", path] if path else []) + options


# --- outside -------------------------------------------------------------------------------------

OUTSIDE_FILE = b"# outside\n127.0.0.1 localhost\n10.0.0.1 a.test\n10.0.0.2 b.test\n"
OUTSIDE_LINE = b"10.7.7.7 outside.test\n"
TOOL_VERSION = b"# written by another tool\n10.8.8.8 tool.test\n"


def append_outside(m, *_):
    with open(m.hosts, "ab") as f:
        f.write(OUTSIDE_LINE)
    return OUTSIDE_FILE + OUTSIDE_LINE


def renamed_over(content):
    """What another tool does that writes CONTENT as a new file and renames it over the old."""
    return lambda m, *_: m.replace_by(content) or content


rename_outside, rename_unended = renamed_over(TOOL_VERSION), renamed_over(TOOL_VERSION[:-1])
rename_longer = renamed_over(TOOL_VERSION * 4)


def send(sig, after):
    """Sends `sig` to the held program, which must hold it until its change is whole and said."""
    return lambda m, proc, pid: os.kill(pid, sig) or after


def fill_stderr(m, proc, pid):
    """Fills the program's error stream, a pipe that this script reads only then: a report waits
    for room, and by then the file must be whole or undone."""
    pipe, filled = os.open(f"/proc/{pid}/fd/2", os.O_WRONLY | os.O_NONBLOCK), 0
    try:
        while True:
            filled += os.write(pipe, b"-" * 4096)
    except BlockingIOError:
        os.close(pipe)
    expect("the program waits to report", wait_inside(pid, "write", "pipe:"), True)
    expect("the file as the report waits", m.content(), OUTSIDE_FILE)
    proc.stderr.read(filled)
    return OUTSIDE_FILE


def close_stderr(m, proc, pid):
    """Closes the only reader of the program's error stream: a report would raise SIGPIPE."""
    proc.stderr.close()
    proc.stderr = None
    return OUTSIDE_FILE


LIBC = ctypes.CDLL(None, use_errno=True)


def private_mounts():
    """A mount namespace of this script's own, whose mounts the program sees and no one else: None,
    or why there is none."""
    if os.geteuid() != 0:
        return "mounting needs root"
    if LIBC.unshare(0x20000) or LIBC.mount(None, b"/", None, 0x4000 | 0x40000, None):  # NEWNS;
        return "no private mount namespace: " + os.strerror(ctypes.get_errno())  # REC, PRIVATE
    return None


def bind_mounted(m):
    """Makes the hosts file one bound over its name, as containers mount theirs: a rename onto it
    fails (EBUSY), so that a rewrite copies the new version in place."""
    m.write(m.content(), os.path.join(m.root, "bound"))
    subprocess.run(["mount", "--bind", os.path.join(m.root, "bound"), m.hosts], check=True)
    m.mounts.append(m.hosts)


def fuse_at(name):
    """Mounts at `name` in the working folder a FUSE file system whose server never answers, as a
    hung NFS or automount path would: a look into it waits until the mount is aborted."""
    def plant(m, proc, pid):
        path = os.path.join(m.work("p"), name)
        open(path, "ab").close()
        fuse = os.open("/dev/fuse", os.O_RDWR)
        options = f"fd={fuse},rootmode=100000,user_id=0,group_id=0".encode()
        expect(f"FUSE mounted at {name}", LIBC.mount(b"never", path.encode(), b"fuse", 0, options), 0)
        m.mounts.append(path)
        return OUTSIDE_FILE
    plant.needs = lambda: (not os.path.exists("/dev/fuse") and "no /dev/fuse") or private_mounts()
    return plant


# What a command prints that finds the file changed since it loaded it.
CHANGED = TEXTS["write_changed"] + failed("hosts_write", "write_changed")
# The loads open the file twice; every later open is held, until the append's own. The path is
# the program's own, relative to its working folder, for strace to match its opens.
APPEND_OPEN = ("openat", "../etc/hosts", "append", {"occurrence": "3+"})
# name, typed lines, the call held (on which file, seen by which part of its path, and strace's
# further options), what the other program does meanwhile, the command's output and its reports
OUTSIDE = [
    ("rewrite_keeps_an_append_made_while_its_new_version_syncs", b"4\n0 a.test\n",
     ("fsync", None, ".new-"), append_outside, DELETE + b"hosts_write:loc = 1\n" + CHANGED),
    ("rewrite_keeps_a_file_renamed_over_it_while_its_new_version_syncs", b"2\n10.1.1.1 b.test\n",
     ("fsync", None, ".new-"), rename_outside, ADD + b"hosts_write:loc = 2\n" + CHANGED),
    ("append_reports_a_file_replaced_before_its_write", b"2\n10.3.3.3 c.test\n",
     ("write", "hosts", "etc/hosts"), rename_outside, ADD + CHANGED),
    ("append_reports_a_file_replaced_before_its_sync", b"2\n10.3.3.3 c.test\n",
     ("fsync", "hosts", "etc/hosts"), rename_outside, ADD + CHANGED),
    ("append_refuses_a_file_without_a_last_line_end_renamed_over_it_during_its_open",
     b"2\n1.2.3.4 new.test\n", APPEND_OPEN, rename_unended, ADD + CHANGED),
    ("append_keeps_a_line_appended_during_its_open_and_its_failed_write_cuts_nothing",
     b"2\n10.3.3.3 c.test\n",
     APPEND_OPEN[:3] + ({**APPEND_OPEN[3], "also": ("write", "error=ENOSPC:when=1")},),
     append_outside, ADD + CHANGED),
    ("failed_append_cuts_back_its_own_file_not_the_one_renamed_over_it_during_its_sync",
     b"2\n10.3.3.3 c.test\n", ("fsync", "hosts", "etc/hosts", {"fault": "error=EIO"}),
     rename_longer, ADD + failed("hosts_write", "write_append_failed"),
     b"fprintf err: Input/output error\n"),
    # A report waits for the repair; a signal, and a report that would raise SIGPIPE, until the
    # file is whole or undone and the command has said so; then the program dies of it (a status
    # of its own).
    ("failed_append_is_cut_back_before_its_report_to_a_full_pipe", b"2\n10.3.3.3 c.test\n",
     ("fsync", "hosts", "etc/hosts", {"fault": "error=EIO"}), fill_stderr,
     ADD + failed("hosts_write", "write_append_failed"), b"fprintf err: Input/output error\n"),
    ("append_holds_a_signal_until_it_is_whole_and_said", b"2\n10.3.3.3 c.test\n",
     ("write", "hosts", "etc/hosts"), send(signal.SIGHUP, OUTSIDE_FILE + b"10.3.3.3 c.test\n"),
     ADD + added(b"10.3.3.3 c.test"), b"", -signal.SIGHUP),
    ("in_place_copy_holds_a_signal_until_it_is_whole_and_said", b"4\n0 a.test\n",
     ("write", "hosts", "etc/hosts", {"bind": True}),
     send(signal.SIGTERM, OUTSIDE_FILE.replace(b"10.0.0.1 a.test\n", b"")),
     DELETE + b"hosts_write:loc = 1\n" + deleted(b"0 a.test"), b"", -signal.SIGTERM),
    ("failed_append_is_cut_back_before_its_report_to_an_unread_pipe", b"2\n10.3.3.3 c.test\n",
     ("fsync", "hosts", "etc/hosts", {"fault": "error=EIO"}), close_stderr,
     ADD + failed("hosts_write", "write_append_failed"), None, -signal.SIGPIPE),
    ("failed_in_place_copy_is_undone_before_its_report_to_an_unread_pipe", b"4\n0 a.test\n",
     ("fsync", "hosts", "etc/hosts", {"fault": "error=EIO", "bind": True}),
     close_stderr, DELETE + b"hosts_write:loc = 1\n" + failed("hosts_write", "write_replace_failed"),
     None, -signal.SIGPIPE),
    # Mount points planted in the working folder as the program starts, or sweeps the folder.
    ("backup_refuses_a_mount_point_planted_as_the_backup", b"1\n", ("getdents64", "work", "work-p"),
     fuse_at("hosts"), b"", b"fopen wFp: hosts is a mount point\n"),
    ("restore_refuses_a_mount_point_planted_as_the_backup", b"5\n", ("write", None, "pipe:"),
     fuse_at("hosts"), b"", b"fopen rPath: hosts is a mount point\n"),
    ("sweep_never_looks_into_a_mount_point_planted_at_a_leftovers_name", b"1\n",
     ("getdents64", "work", "work-p"), fuse_at("hosts.new-999999-0"), TEXTS["backed_up"]),
]


def outside(name):
    _, stdin, hold, act, output, *rest = next(c for c in OUTSIDE if c[0] == name)
    reports, status = (rest + [b"", 0][len(rest):])[:2]
    (call, on, path_part), options = hold[:3], dict((hold[3:] or [{}])[0])
    bind = options.pop("bind", False)
    skip(getattr(act, "needs", lambda: None)() or (bind and private_mounts()))
    with Machine(OUTSIDE_FILE) as m:
        if bind:
            bind_mounted(m)
        path = {None: None, "../etc/hosts": on, "work": m.work("p")}.get(on, m.hosts)
        proc = m.start("p", stdin, strace=held(call, path, 1.5, **options))
        pid = tracee(proc)
        inside = wait_inside(pid, call, path_part, failing="fault" in options)
        expect(f"the program held in {call} on {path_part}", inside, True)
        after = act(m, proc, pid) if inside else OUTSIDE_FILE
        # A program that hangs in a mount that never answers would hold this test for ever.
        watchdog = threading.Timer(20, os.kill, (pid, signal.SIGKILL))
        watchdog.start()
        out, err, got = finish(proc)
        watchdog.cancel()
        # strace says how it resolved a relative path: its own line, not the program's.
        err = err and b"".join(l for l in err.splitlines(True) if b"strace: Requested path" not in l)
        expect("exit status", got, status)
        expect("stdout", out, SCREEN + output if status else screens(output))
        expect("stderr", err, reports)
        expect("hosts file: the other program's change", m.content(), after)
        expect("files beside the hosts file", m.beside(), ["hosts"])


# --- turns ---------------------------------------------------------------------------------------

TURNS_FILE = b"# turns\n127.0.0.1 localhost\n10.0.0.1 a.test\n10.0.0.2 b.test\n"
FIRST = b"4\n0 a.test\n"  # a rewrite, held in the sync of its new version
FIRST_OUT = screens(DELETE + b"hosts_write:loc = 1\n" + deleted(b"0 a.test"))
SECOND = b"2\n10.5.5.5 e.test\n"
RESTORED = b"# restored\n10.6.6.6 r.test\n"
WAITING, GAVE_UP = TEXTS["lock_waiting"], TEXTS["lock_gave_up"]
ADDED, TIMED_OUT = ADD + added(b"10.5.5.5 e.test"), failed("hosts_lock", "turn_timed_out")
WAITED = ADD + WAITING + added(b"10.5.5.5 e.test")
FIRSTS, SECONDS = TURNS_FILE.replace(b"10.0.0.1 a.test\n", b""), TURNS_FILE + b"10.5.5.5 e.test\n"
BOTH = FIRSTS + b"10.5.5.5 e.test\n"


def first_holding(m, seconds, program=None):
    """The first instance, held inside its rewrite for `seconds` while it has its turn."""
    first = m.start("first", FIRST, program=program, strace=held("fsync", None, seconds))
    pid = tracee(first, program)
    expect("the first instance held in its sync", wait_inside(pid, "fsync", ".new-"), True)
    return first, pid


def read_until(proc, wanted, timeout):
    """What `proc` printed by the time `wanted` was among it, or `timeout` passed."""
    seen, deadline = b"", time.monotonic() + timeout
    os.set_blocking(proc.stdout.fileno(), False)
    while wanted not in seen and time.monotonic() < deadline:
        piece = proc.stdout.read(4096)
        seen += piece or b""
        if not piece:
            time.sleep(0.01)
    os.set_blocking(proc.stdout.fileno(), True)
    return seen


def held_at_the_lock(second, first):
    """The second opens the held lock file; the first ends its turn, removing the file, before
    the second looks at what it opened."""
    expect("the second instance held looking at the lock file",
           wait_inside(tracee(second), "newfstatat", ".lock"), True)
    return b"", None


def kill_the_first(second, first):
    """Kills the first instance once the second says it waits: the time of the kill."""
    seen = read_until(second, WAITING, 5)
    expect("second instance says it waits", WAITING in seen, True)
    killed = time.monotonic()
    # A process held by strace dies only once strace lets it go, so strace goes too; the
    # program, orphaned, is then this script's to wait for.
    os.kill(first[1], signal.SIGKILL)
    first[0].kill()
    first[0].wait()
    os.waitpid(first[1], 0)
    return seen, killed


def configured_build(m):
    """The README's own build, `cmake -S . -B build` with -DHOSTS_PATH and -DHOSTS_LOCK_SECONDS."""
    build = m.folder("build")
    for step in ([f"-DHOSTS_PATH={m.hosts}", "-DHOSTS_LOCK_SECONDS=2", "-S", ARGS.source,
                  "-B", build], ["--build", build, "-j2", "--target", "hosts-manager"]):
        subprocess.run([ARGS.cmake] + step, check=True, stdout=subprocess.DEVNULL)
    return os.path.join(build, "hosts-manager")


PROGRAMS = {"test": lambda m: ARGS.program, "brief": lambda m: ARGS.brief_program,
            "configured": configured_build}


def turn(name, output, after, hold=2.5, programs=("test", "test"), stdin=SECOND, strace=None,
         meanwhile=None, took=None, first_out=FIRST_OUT, beside=("hosts",), then=None):
    """A row of TURNS: the first instance held `hold` s in its rewrite (None: none), a second one
    started meanwhile with `stdin`, under `strace` (options of `m`) if given, what the test does
    while it runs, and what is seen: its `output` after the menu, the time it `took` (from
    `meanwhile`'s moment), the first's stdout, the hosts file `after`, the names `beside` it (the
    first's new version as FIRST), and a third run `then` that leaves the hosts file alone."""
    return name, dict(output=output, after=after, hold=hold, programs=programs, stdin=stdin,
                      strace=strace, meanwhile=meanwhile, took=took, first_out=first_out,
                      beside=list(beside), then=then)


TURNS = [
    turn("waits_for_the_other_and_says_so_once", WAITED, BOTH, took=(1.5, 60)),
    turn("waits_for_the_other_and_says_so_once", WAITING + TEXTS["restored"], RESTORED,
         stdin=b"5\n", took=(1.5, 60)),
    turn("waits_again_when_the_holder_removes_the_lock_file_it_opened", WAITED, BOTH, hold=1,
         meanwhile=held_at_the_lock, strace=lambda m: held("newfstatat", m.hosts + ".lock", 2)),
    turn("goes_on_when_the_other_is_killed", WAITED, SECONDS, hold=30, meanwhile=kill_the_first,
         took=(0, 3), first_out=None, beside=["hosts", "hosts.new-FIRST-K"],
         then=(b"4\n0 b.test\n", DELETE + b"hosts_write:loc = 2\n" + deleted(b"0 b.test"))),
    turn("gives_up_after_its_bound_and_changes_nothing", ADD + WAITING + GAVE_UP + TIMED_OUT,
         FIRSTS, hold=4, programs=("test", "brief"), took=(1.9, 3.5)),
    turn("goes_on_where_no_lock_can_be_had", ADDED, SECONDS, hold=None,
         strace=lambda m: ["-e", "trace=flock", "-e", "inject=flock:error=ENOLCK"]),
    turn("keeps_the_file_and_waits_the_seconds_it_was_configured_with",
         WAITING + GAVE_UP + TIMED_OUT, FIRSTS, hold=4, programs=("configured",) * 2,
         stdin=b"3\n", took=(1.9, 3.5)),
]


def take_turns(name):
    for row in (row for n, row in TURNS if n == name):
        with Machine(TURNS_FILE) as m:
            take_turn(m, **row)


def take_turn(m, output, after, hold, programs, stdin, strace, meanwhile, took, first_out,
              beside, then):
    built = {p: PROGRAMS[p](m) for p in set(programs)}
    first_program, second_program = (built[p] for p in programs)
    m.write(RESTORED, os.path.join(m.work("second"), "hosts"))
    first = first_holding(m, hold, first_program) if hold else None
    started = time.monotonic()
    second = m.start("second", stdin, program=second_program, strace=strace and strace(m))
    seen, moment = meanwhile(second, first) if meanwhile else (b"", None)
    out, err, _ = finish(second)
    waited = time.monotonic() - (moment or started)
    expect("second instance's stdout", seen + out, screens(output))
    expect("second instance's stderr", err, b"")
    if took:
        expect(f"second instance took {waited:.2f} s, within {took}", took[0] <= waited < took[1],
               True)
    if first and first_out:
        expect("first instance's stdout", finish(first[0])[0], first_out)
    expect("hosts file", m.content(), after)
    pid = first[1] if first else "none"
    names = [re.sub(rf"\.new-{pid}-\d+$", ".new-FIRST-K", n) for n in m.beside()]
    expect("files beside the hosts file", names, beside)
    if then:
        expect("the next run's stdout", finish(m.start("third", then[0]))[0], screens(then[1]))
        expect("files beside the hosts file after the next run", m.beside(), ["hosts"])


# --- another user on the machine ------------------------------------------------------------------

NOBODY = 65534


def as_other(*command, cwd=None):
    """Runs `command` as an unprivileged user, who may do only what the machine's others may."""
    return subprocess.Popen(["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}", "--clear-groups",
                             "--"] + list(command), stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                            cwd=cwd)


def open_to_others(m, *shared):
    """Lets other users reach the test's folders, and write (as in /tmp) the `shared` ones."""
    os.chmod(m.root, 0o755)
    for folder in shared:
        os.chmod(folder, 0o1777)


def cannot_stall_the_turn():
    with Machine(TURNS_FILE) as m:
        open_to_others(m)
        holders = [as_other("flock", "-x", m.etc, "sh", "-c", "echo held; sleep 30"),
                   as_other("flock", "-s", m.hosts, "sh", "-c", "echo held; sleep 30")]
        for h in holders:
            expect("the other user holds a lock", h.stdout.readline(), b"held\n")
        started = time.monotonic()
        out, err, _ = finish(m.start("p", SECOND, program=ARGS.brief_program))
        expect("went on at once", time.monotonic() - started < 1.5, True)
        expect("stdout", out, screens(ADDED))
        expect("stderr", err, b"")
        for h in holders:
            h.kill()
            h.wait()


# What another user plants as the lock file in a folder everyone may write, what it is, and
# whether the hosts file is a link into that folder (then the lock file stands beside the link,
# where the other user cannot reach, and the planted one is not looked at).
PLANTED_LOCKS = [(["sh", "-c", "umask 0; : > hosts.lock"], "owned by another user", False),
                 (["ln", "-s", "hosts", "hosts.lock"], "a symbolic link", False),
                 (["sh", "-c", "umask 0; : > hosts.lock"], None, True)]


def never_uses_another_users_lock_file():
    for plant, why, linked in PLANTED_LOCKS:
        with Machine(TURNS_FILE) as m:
            shared = m.folder("shared") if linked else m.etc
            open_to_others(m, shared)
            if linked:
                os.rename(m.hosts, os.path.join(shared, "hosts"))
                os.symlink(os.path.join(shared, "hosts"), m.hosts)
            os.chmod(m.hosts, 0o644)
            expect(f"{why}: the other user planted the lock file",
                   as_other(*plant, cwd=shared).wait(), 0)
            out, err, _ = finish(m.start("p", SECOND))
            expect(f"{why}: stdout", out, screens(ADDED))
            expect(f"{why}: stderr", err, f"hosts_lock: {m.hosts}.lock is {why}: no turn taken\n"
                   .encode() if why else b"")
            expect(f"{why}: the lock file stays the other user's",
                   os.lstat(os.path.join(shared, "hosts.lock")).st_uid, NOBODY)


def never_waits_on_a_fifo_in_the_working_folder():
    with Machine(TURNS_FILE) as m:
        work = m.work("p")
        open_to_others(m, work)
        # A dead run's leftovers of this user's, which the sweep compares with the backup, and
        # another user's, which it must leave alone.
        mine = {"hosts.new-999999-0": b"new", "hosts.old-999999-0-5": b"older"}
        theirs = {"hosts.new-999998-0": b"new", "hosts.old-999998-0-5": b"older"}
        for name, data in list(mine.items()) + list(theirs.items()):
            m.write(data, os.path.join(work, name))
        for name in theirs:
            os.chown(os.path.join(work, name), NOBODY, NOBODY)
        proc = m.start("p", b"1\n", strace=held("getdents64", work, 1.5))
        pid = tracee(proc)
        inside = wait_inside(pid, "getdents64", "work-p")
        expect("the program held in the sweep of the working folder", inside, True)
        fifo = as_other("sh", "-c", f"cd {work} && mkfifo fifo && mv fifo hosts")
        expect("the other user swapped in a FIFO", fifo.wait(), 0)
        # A program blocked on the FIFO would hold its turn, and this test, for ever.
        watchdog = threading.Timer(10, os.kill, (pid, signal.SIGKILL))
        watchdog.start()
        out, err, _ = finish(proc)
        watchdog.cancel()
        # The sweep comes before the turn and the look at the backup's name, which finds the FIFO.
        expect("stdout", out, screens(b""))
        expect("stderr", err, b"".join(
            f"interrupted copy: {what} file kept: ./{name}\n".encode() for what, name in
            (("old", "hosts.old-999999-0-5"), ("new", "hosts.new-999999-0"))) +
            b"fopen wFp: hosts is a FIFO\n")
        expect("the other user's leftovers", sorted(n for n in os.listdir(work) if "9998" in n),
               sorted(theirs))


def cannot_stall_the_turn_by_planting_names():
    """Names that another user plants by the hundred thousand in the working folder keep no other
    instance waiting, even while strace holds the sweep of them, and cost the backup about what
    listing them with their owners costs."""
    with Machine(TURNS_FILE) as m:
        work = m.work("p")
        open_to_others(m, work)
        plant = f'cd {work} && seq 0 99999 | sed "s/^/hosts.new-4194000-/" | xargs touch'
        expect("the other user planted the names", as_other("sh", "-c", plant).wait(), 0)
        started = time.monotonic()
        theirs = sum(e.stat(follow_symlinks=False).st_uid == NOBODY for e in os.scandir(work))
        listing = time.monotonic() - started
        expect("names planted", theirs, 100000)
        # Only the calls held are stopped at (seccomp): the sweep runs at its own speed.
        backup = m.start("p", b"1\n", strace=["--seccomp-bpf"] + held("getdents64", work, 1.5))
        started = time.monotonic()
        expect("the backup held in its sweep", wait_inside(tracee(backup), "getdents64", "work-p"), True)
        out, _, _ = finish(m.start("q", SECOND, program=ARGS.brief_program))
        expect("the other instance's add", out, screens(ADDED))
        out, err, _ = finish(backup)
        took = time.monotonic() - started
        expect("the backup", (out, err), (screens(TEXTS["backed_up"]), b""))
        expect(f"the backup took {took:.2f} s, listing the names {listing:.2f} s",
               took < 1.5 + 3 * listing + 0.7, True)


# How another user could reach a new version (the setup, run in etc/ as root) and the calls
# between its creation and its first write at which the program is held meanwhile: any umask; an
# access list whose mask lets the owning group, theirs, write while the mode is set before the
# list; and the folder's default list naming them, which must not outlive the rewrite. Then what
# else the new version must keep: the capability and, for a program run by the file's owner (then
# no other user), the set-id bits, which a write takes off; and the inode flags on an ext4 image,
# of which the folder's must not outlive the rewrite either.
NEW_VERSIONS = [("umask 0", "chmod 644 hosts", ["fchmod"]),
                ("a list wider than the group",
                 "chgrp nogroup hosts && setfacl -m u:daemon:rw hosts", ["fchown", "fsetxattr", "flistxattr", "fchmod"]),
                ("a folder's default list", "chmod 664 hosts && setfacl -d -m u:nobody:rw .",
                 ["fremovexattr", "fchmod"]),
                ("a capability", "setcap cap_net_raw+ep hosts", ["fchmod"]),
                ("set-id bits", "chown -R nobody:nogroup . && chmod 6755 hosts", ["fchmod"], "owner"),
                ("inode flags", "chattr +AdS hosts", ["fchmod"], "ext4"),
                ("a folder's inode flags", "chattr +ASd .", ["fchmod"], "ext4")]
RIGHTS = "getfacl -cp hosts; getcap hosts; stat -c %a hosts; lsattr hosts"


def loop_ext4(m):
    """Puts etc/ on an ext4 image of its own, on a loop device: None, or why it cannot be."""
    image, hosts, why = os.path.join(m.root, "ext4"), m.content(), private_mounts()
    for step in (["truncate", "-s", "16M", image], ["mkfs.ext4", "-q", image],
                 ["mount", "-o", "loop", image, m.etc]):
        if why or subprocess.run(step, capture_output=True).returncode:
            return why or f"{step[0]} failed: no loop device here?"
    m.mounts.append(m.etc)
    m.write(hosts)
    return None


def new_version_is_never_open_to_others():
    for what, setup, calls, *on in NEW_VERSIONS:
        for call in calls:
            with Machine(TURNS_FILE) as m:
                open_to_others(m)
                why = on == ["ext4"] and loop_ext4(m)
                if why:
                    print(f"skipped here: {what}: {why}")
                    continue
                subprocess.run(["sh", "-c", setup], cwd=m.etc, check=True)
                rights = lambda: subprocess.run(["sh", "-c", RIGHTS], cwd=m.etc,
                                                capture_output=True).stdout
                before, owner = rights(), on == ["owner"]
                program = shutil.copy(ARGS.program, m.root) if owner else None
                umask = os.umask(0)
                try:
                    proc = m.start("p", FIRST, strace=held(call, None, 1.5), program=program and
                                   ["setpriv", f"--reuid={NOBODY}", f"--regid={NOBODY}",
                                    "--clear-groups", program])
                finally:
                    os.umask(umask)
                where = f"{what}, held in {call}"
                expect(where, wait_inside(tracee(proc, program), call, ".new-"), True)
                fresh = [os.path.join(m.etc, n) for n in os.listdir(m.etc) if ".new-" in n]
                opened = as_other("sh", "-c", ': >> "$0"', *fresh[:1]).wait() if fresh else None
                expect(f"{where}: another user opened the new version",
                       owner or opened not in (0, None), True)
                expect(f"{where}: stdout", finish(proc)[0], FIRST_OUT)
                expect(f"{where}: the access list, capability, mode and flags", rights(), before)
                appended = as_other("sh", "-c", ': >> "$0"', m.hosts).wait()
                expect(f"{where}: another user appended to the hosts file", owner or appended != 0,
                       True)


OTHER_USER = [cannot_stall_the_turn, cannot_stall_the_turn_by_planting_names,
              never_uses_another_users_lock_file,
              never_waits_on_a_fifo_in_the_working_folder, new_version_is_never_open_to_others]

CASES = {"together": together}
CASES.update((name, lambda n=name: outside(n)) for name, *_ in OUTSIDE)
CASES.update((name, lambda n=name: take_turns(n)) for name, _ in TURNS)
CASES.update((f.__name__, f) for f in OTHER_USER)
NEEDS_STRACE = set(CASES) - {"together", "cannot_stall_the_turn", "never_uses_another_users_lock_file"}
NEEDS_ROOT = {f.__name__ for f in OTHER_USER}


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("case", choices=list(CASES) + ["list"])
    parser.add_argument("--program", help="the test build of the program")
    parser.add_argument("--brief-program", help="the same, built to wait 2 s for its turn")
    parser.add_argument("--source", help="the source tree, for a build of its own")
    parser.add_argument("--cmake", default=shutil.which("cmake"))
    parser.add_argument("--strace", default=shutil.which("strace"))
    parser.add_argument("--repeat", type=int, default=3, help="runs of the together case")
    parser.parse_args(namespace=ARGS)
    if ARGS.case == "list":
        print(";".join(CASES))
        return 0
    ARGS.program = os.path.abspath(ARGS.program)
    ARGS.brief_program = ARGS.brief_program and os.path.abspath(ARGS.brief_program)
    # Programs orphaned by a killed strace become this script's children, to be waited for.
    ctypes.CDLL(None, use_errno=True).prctl(PR_SET_CHILD_SUBREAPER, 1)
    if ARGS.case in NEEDS_ROOT and (os.geteuid() != 0 or not shutil.which("setpriv")):
        skip("another user is played by setpriv (util-linux), as root")
    skip(ARGS.case in NEEDS_STRACE and strace_cannot(ARGS.strace, hold=True))
    CASES[ARGS.case]()
    return CHECKS.verdict(ARGS.case)


if __name__ == "__main__":
    sys.exit(main())
