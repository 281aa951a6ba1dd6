#!/usr/bin/env python3
"""Fails the program's file system calls one at a time and checks that no file is ever half written.

Each command runs once under strace to learn the calls it makes on the test's own files (not the
loader's, nor the console's: no program can report success over a broken console), then once per
(call, occurrence) with an error or a SIGKILL there, and all again with every rename failing EBUSY,
as for a bind-mounted hosts file; then under every address-space limit, in 16 KiB steps, from the
least it loads under to the least it succeeds under (one that cannot start says "no memory").
Each run keeps harness.never_half for the hosts file and the backup, and their permission bits;
the run after a crash clears what it left. The run without faults syncs a replaced file's folder,
and a file written in place, before it says so, and a file's saved copy and its folder before it
overwrites the file.

Exit status: 0 without violations, 1 with violations, 77 when strace cannot inject faults here.
"""

import argparse
import os
import re
import resource
import shutil
import subprocess
import sys
import types
from concurrent.futures import ThreadPoolExecutor

import program_texts
from harness import (FD_PATH, STRING, HostsFolder, never_half, skip, strace_cannot, traced_calls,
                     traced_env)

TEXTS = program_texts.load()
# What follows the request in the texts of a change: which command's success a run reports.
ALL_SUCCESS = program_texts.successes(TEXTS)
MISSING = TEXTS["write_missing"].split(b"%s")[1]

RENAMES = ("rename", "renameat", "renameat2")
READ_LIKE = ("read", "pread64", "readv", "preadv", "preadv2")
WRITE_LIKE = ("write", "pwrite64", "writev", "pwritev", "pwritev2")
SYNCS = ("fsync", "fdatasync", "sync_file_range", "syncfs")

# Which errors each call gets. Every call also gets EIO.
ERRORS = dict.fromkeys(WRITE_LIKE + SYNCS + ("close", "fallocate", "copy_file_range", "sendfile"),
                       ["ENOSPC", "EDQUOT"])
ERRORS.update(dict.fromkeys(("open", "openat", "openat2", "creat", "fchmod", "fchmodat", "chmod",
                             "fchown", "fchownat", "chown", "lchown", "unlink", "unlinkat", "link",
                             "linkat", "truncate"), ["EACCES", "EPERM"]))
ERRORS.update(dict.fromkeys(RENAMES, ["EACCES", "EPERM", "EXDEV", "EBUSY"]))
ERRORS.update(ftruncate=["EPERM", "EFBIG"], ioctl=["EPERM"], fsetxattr=["EPERM", "EOPNOTSUPP"],
              fremovexattr=["EPERM", "EOPNOTSUPP"], flock=["EAGAIN", "ENOLCK"],
              fcntl=["EAGAIN", "ENOLCK"])

CALLS = sorted(set(ERRORS) | set(READ_LIKE) | {
    "fstat", "newfstatat", "statx", "stat", "lstat", "getdents64", "readlink", "readlinkat",
    "listxattr", "getxattr", "flistxattr", "fgetxattr",
    "mkdir", "mkdirat", "rmdir", "symlink", "symlinkat"})

# Calls on which the process is killed: every step where a crash can leave something behind.
KILL_AT = set(WRITE_LIKE + SYNCS + RENAMES + (
    "close", "ftruncate", "truncate", "unlink", "unlinkat", "link", "linkat", "openat", "open"))
# Calls whose every occurrence is tried; long runs of the others are sampled.
EVERY_OCCURRENCE = set(SYNCS + RENAMES + (
    "close", "ftruncate", "truncate", "unlink", "unlinkat", "link", "linkat", "flock",
    "fchmod", "fchown", "fchmodat", "fchownat"))
SAMPLE = 8


# --- The files the program works on -------------------------------------------------------------

def entry(i):
    return f"10.{i // 250}.{i % 250}.{i % 7 + 1} host{i:04d}.example"


def hosts_text(entries, banner):
    """A hosts file as Windows keeps it, edited by hand over the years."""
    lines = ["\ufeff# Copyright (c) 1993-2009 Microsoft Corp.", "#",
             "# This is a sample HOSTS file used by Microsoft TCP/IP for Windows.   ", "#",
             "# " + banner, "", "127.0.0.1 localhost", "::1 localhost", "\t", ""]
    for i in range(entries):
        if i % 97 == 0:
            lines += ["", f"# 第{i // 97}组：内部网站 block {i // 97}  "]
        if i % 71 == 0:
            lines.append(f"    10.9.{i % 250}.1 indented{i}.example")
        line = entry(i)
        if i % 29 == 0:
            line += f" alias{i:04d}.example # 注释"
        if i % 13 == 0:
            line += " \t "
        lines.append(line)
    lines.append("# end of file, without a line end")
    return "\n".join(lines).encode("utf-8")


ENTRIES = 3000
OLD_HOSTS = hosts_text(ENTRIES, "current")
OLD_BACKUP = hosts_text(2600, "saved a while ago")
assert len(OLD_HOSTS) > 65536 and len(OLD_BACKUP) > 65536

REPLACED = b"10.200.0.1 host1234.example"
DELETED = b"0 host2000.example"

# name: (console input, file whose change the command reports, its success text)
COMMANDS = {
    "add-append": (b"2\n10.1.2.3 new.example\n", "hosts",
                   program_texts.filled(TEXTS["added"], b"10.1.2.3 new.example")),
    "add-replace": (b"2\n" + REPLACED + b"\n", "hosts",
                    program_texts.filled(TEXTS["added"], REPLACED)),
    "delete": (b"4\n" + DELETED + b"\n", "hosts", program_texts.filled(TEXTS["deleted"], DELETED)),
    "delete-missing": (b"4\n0 nothere.example\n", None, None),
    "list": (b"3\n", None, None),
    "backup": (b"1\n", "backup", TEXTS["backed_up"]),
    "restore": (b"5\n", "hosts", TEXTS["restored"]),
}
# After a crash: one run that rewrites the hosts file and one backup, which must clear leftovers.
AFTER_CRASH = b"2\n127.0.0.1 localhost\n1\n"
# Both files are readable by all; the program runs with umask 077, so a new version that did not
# get the old file's permission bits shows as 0600.
MODE = 0o644
UMASK = 0o077
# An attribute of the user's on the hosts file, which every new version must carry too.
ATTRIBUTE = ("user.hosts-test", b"kept through every rewrite")


class Folder(HostsFolder):
    """A fresh etc/hosts and work/hosts (the backup); the program runs in work/."""

    def __init__(self):
        super().__init__(OLD_HOSTS, "hosts-faults-")
        self.here = self.work()  # where the program runs
        self.backup = os.path.join(self.here, "hosts")
        self.log = os.path.join(self.root, "strace.log")
        self.write(OLD_BACKUP, self.backup)
        os.chmod(self.hosts, MODE)
        os.chmod(self.backup, MODE)
        try:
            os.setxattr(self.hosts, *ATTRIBUTE)
            self.has_attribute = True
        except OSError:  # a file system without user attributes: nothing to keep
            self.has_attribute = False

    def path(self, which):
        return self.hosts if which == "hosts" else self.backup

    def version(self, which):
        return self.content(self.path(which))

    def attribute(self):
        try:
            return os.getxattr(self.hosts, ATTRIBUTE[0])
        except OSError as e:
            return e

    def mode(self, which):
        try:
            return os.stat(self.path(which)).st_mode & 0o7777
        except OSError:
            return None


# --- Running the program -------------------------------------------------------------------------

class Run:
    def __init__(self, proc, log):
        self.stdout, self.stderr, self.status = proc.stdout, proc.stderr, proc.returncode
        self.log = log
        self.killed = "+++ killed by SIGKILL" in log or proc.returncode in (-9, 128 + 9)
        self.injected = "(INJECTED)" in log or self.killed


def run_program(args, folder, stdin, strace_args=None, memory=None):
    command = [args.program]
    limit = (lambda: resource.setrlimit(resource.RLIMIT_AS, (memory, memory))) if memory else None
    if strace_args is not None:
        command = [args.strace, "-f", "-qq", "-s", "0", "-y", "-o", folder.log] + strace_args + command
    try:
        proc = subprocess.run(command, input=stdin, cwd=folder.here, capture_output=True,
                              timeout=args.run_timeout, umask=UMASK, env=traced_env(),
                              preexec_fn=limit)
    except subprocess.TimeoutExpired as e:
        proc = subprocess.CompletedProcess(command, "timeout", e.stdout or b"", e.stderr or b"")
    log = ""
    if strace_args is not None and os.path.exists(folder.log):
        with open(folder.log, errors="replace") as f:
            log = f.read()
        os.unlink(folder.log)
    return Run(proc, log)


def names(calls):
    return ",".join("?" + c for c in calls)


def strace_args(fault, ebusy):
    """strace options that trace exactly the tampered calls and inject `fault`, if any."""
    traced = list(RENAMES) if ebusy else []
    options = []
    if fault:
        call, occurrence, what = fault
        traced.append(call)
        action = "signal=SIGKILL" if what == "SIGKILL" else "error=" + what
        options += ["-e", f"inject=?{call}:{action}:when={occurrence}"]
    if ebusy:
        options += ["-e", f"inject={names(RENAMES)}:error=EBUSY"]
    return ["-e", "trace=" + names(traced or ["getpid"])] + options


# --- Reading the trace ---------------------------------------------------------------------------

class Call:
    def __init__(self, name, occurrence, args, result, folder):
        self.name, self.occurrence, self.result, self.args = name, occurrence, result, args
        self.fd_paths = [p.replace(" (deleted)", "") for p in FD_PATH.findall(args)]
        strings = [] if name in READ_LIKE + WRITE_LIKE else STRING.findall(args)
        self.paths = [os.path.normpath(os.path.join(folder.here, s)) for s in strings if s]

    def touches(self, root):
        inside = lambda p: p == root or p.startswith(root + os.sep)
        return any(inside(p) for p in self.fd_paths + self.paths)


def parse_trace(log, folder):
    """The calls of the program's first process, each with its place among calls of its name."""
    calls, seen, first_pid = [], {}, None
    for pid, _, name, args, result in traced_calls(log):
        first_pid = first_pid or pid
        if pid != first_pid:
            continue
        seen[name] = seen.get(name, 0) + 1
        calls.append(Call(name, seen[name], args, result, folder))
    return calls


def sample(occurrences, name, full):
    """Every occurrence of the calls where crashes leave files behind, the ends of the others."""
    if full or name in EVERY_OCCURRENCE or len(occurrences) <= SAMPLE:
        return occurrences
    last = len(occurrences) - 1
    picks = {round(i * last / (SAMPLE - 1)) for i in range(SAMPLE)}
    return [occurrences[i] for i in sorted(picks)]


def faults_for(calls, root, ebusy, full):
    """(call, occurrence, error or SIGKILL) for each call the program makes on the test's files."""
    occurrences = {}
    for c in calls:
        if c.touches(root) and not (ebusy and c.name in RENAMES):
            occurrences.setdefault(c.name, []).append(c.occurrence)
    faults = []
    for name in sorted(occurrences):
        for k in sample(occurrences[name], name, full):
            whats = ["EIO"] + ERRORS.get(name, []) + (["SIGKILL"] if name in KILL_AT else [])
            faults += [(name, k, what) for what in whats]
    return faults


def unsynced_faults(calls, folder):
    """What is not synced before the next console output: the folder of a rename onto the hosts
    file or the backup, or either file after its last write in place."""
    files, due = (folder.hosts, folder.backup), []
    for i, c in enumerate(calls):
        if c.name in RENAMES and c.result == "0" and c.paths[-1:] and c.paths[-1] in files:
            due.append((i, os.path.dirname(c.paths[-1]), f"rename onto {rel(folder, c.paths[-1])} "
                        "is not followed by a sync of its folder"))
    for path in files:
        writes = [i for i, c in enumerate(calls) if c.name in WRITE_LIKE and c.fd_paths[:1] == [path]]
        due += [(writes[-1], path, f"{rel(folder, path)}, written in place, is not synced")
                for _ in writes[-1:]]
    return [f"{what} before the next console output" for i, path, what in due
            if not synced_before_output(calls[i + 1:], path)]


def synced_before_output(rest, path):
    for c in rest:
        if c.name in WRITE_LIKE and c.args.startswith(("1<", "2<")):
            return False
        if c.name in SYNCS and c.fd_paths[:1] == [path] and c.result == "0":
            return True
    return False


def saved_copy_faults(calls, folder):
    """In-place copies that overwrite a file before its saved old content, and the name of that
    copy in the folder, are on the disk: a power cut would leave neither version whole."""
    problems = []
    for path in (folder.hosts, folder.backup):
        made = [i for i, c in enumerate(calls)
                if c.name in ("open", "openat") and any(p.startswith(path + ".old-") for p in c.paths)]
        writes = [i for i, c in enumerate(calls) if made and i > made[0] and
                  c.name in WRITE_LIKE and c.fd_paths[:1] == [path]]
        if not writes:
            continue
        saved = [i for i, c in enumerate(calls[:writes[0]]) if c.name in SYNCS and c.result == "0"
                 and c.fd_paths[:1] and c.fd_paths[0].startswith(path + ".old-")]
        named = saved and any(c.name in SYNCS and c.result == "0" and
                              c.fd_paths[:1] == [os.path.dirname(path)]
                              for c in calls[saved[-1] + 1:writes[0]])
        if not named:
            problems.append(f"{rel(folder, path)} is overwritten in place before its saved copy "
                            "and that copy's folder are synced")
    return problems


def rel(folder, path):
    return os.path.relpath(path, folder.root)


# --- Checking a run ------------------------------------------------------------------------------

def named_in(stderr, folder):
    """Files that the program's reports name, e.g. a new version it kept for the user."""
    found = set()
    for token in re.split(rb"[\s\"'`]+", stderr):
        token = token.strip(b",;:()[]<>").decode("utf-8", "replace")
        if token:
            path = os.path.normpath(os.path.join(folder.here, token))
            if os.path.exists(path):
                found.add(path)
    return found


def check_run(run, folder, expect, command, ebusy=False):
    """What broke in one run: a list of texts, empty when the run kept every promise. A killed
    copy in place, the one way to change a file that cannot be renamed over, can promise no more
    than both versions kept beside the file."""
    _, target, success = COMMANDS[command]
    files = {w: (folder.version(w), *expect[w]) for w in ("hosts", "backup")}
    strays = {p: folder.content(p) for p in folder.strays(folder.here)}
    named = named_in(run.stderr, folder).__contains__
    problems = never_half(run, files, target, success, ALL_SUCCESS, strays, named, run.killed,
                          run.killed and ebusy)
    problems += [f"{w} file has mode {folder.mode(w):04o}, not its old {MODE:04o}"
                 for w in files if folder.mode(w) not in (None, MODE)]
    if folder.has_attribute and files["hosts"][0] is not None and \
            folder.attribute() != ATTRIBUTE[1]:
        problems.append(f"hosts file lost its attribute {ATTRIBUTE[0]}: {folder.attribute()}")
    return problems


def check_cleanup(args, folder, crashed, expect, ebusy):
    """After a crash, the next rewrite and backup (renames still failing, where they did) must
    remove what the dead process left; but where the crash left a file neither old nor new, the
    two versions kept beside it are the user's only whole copies and must survive."""
    strays = lambda: folder.strays(folder.here)
    if not strays():
        return []
    torn = [w for w in ("hosts", "backup") if folder.version(w) not in expect[w]]
    kept = named_in(crashed.stderr, folder)
    after = run_program(args, folder, AFTER_CRASH, strace_args(None, ebusy) if ebusy else None)
    problems = [] if after.status == 0 else [f"the run after the crash exited {after.status}"]
    if torn:
        still = [folder.content(p) for p in strays()]
        return problems + [f"the versions kept beside the torn {w} file did not survive the next run"
                           for w in torn if not set(expect[w]) <= set(still)]
    left = [p for p in strays() if p not in kept | named_in(after.stderr, folder)]
    return problems + [f"{rel(folder, p)} left by the crash survives the next rewrite and backup"
                       for p in left]


# --- Memory limits ------------------------------------------------------------------------------

STEP = 16 << 10
NO_START = b"no memory\n"


def least_limit(args, stdin, works, low=1 << 20, high=256 << 20):
    """The least address-space limit, to STEP, under which `works(run)` holds; None when not even
    `high` will do (AddressSanitizer reserves terabytes)."""
    def run(memory):
        with Folder() as folder:
            return works(run_program(args, folder, stdin, memory=memory))
    if not run(high):
        return None
    while high - low > STEP:
        middle = (low + high) // 2 // STEP * STEP
        low, high = (low, middle) if run(middle) else (middle, high)
    return high


def memory_faults(args, group):
    """Runs the command under every limit between the one it loads under and the one it succeeds
    under: the violations, and how many runs."""
    stdin = COMMANDS[group.command][0]
    loads = least_limit(args, stdin, lambda run: run.status != 127)
    whole = least_limit(args, stdin, lambda run: run.stdout == group.stdout)
    if loads is None or whole is None:
        print(f"{group.name}: no memory limits: the program loads under none up to 256 MiB")
        return [], 0
    problems = []
    for memory in range(loads, whole, STEP):
        with Folder() as folder:
            run = run_program(args, folder, stdin, memory=memory)
            refused = (run.status, run.stdout, run.stderr) == (1, b"", NO_START)
            found = [] if refused else check_run(run, folder, group.expect, group.command)
        problems += [f"{group.name} under {memory} bytes of memory: {p}" for p in found]
    return problems, len(range(loads, whole, STEP))


# --- The matrix ----------------------------------------------------------------------------------

def new_group(command, ebusy):
    """One command's runs, with every rename failing EBUSY or not, and what they found."""
    return types.SimpleNamespace(command=command, ebusy=ebusy, expect=None, faults=[], runs=0,
                                 name=command + ("/rename-ebusy" if ebusy else ""), violations=[],
                                 missed=0)


def baseline(args, group):
    """Runs the command without faults (but for the EBUSY renames) to learn its calls and result."""
    stdin = COMMANDS[group.command][0]
    with Folder() as folder:
        trace = ["-e", "trace=" + names(CALLS)] + strace_args(None, group.ebusy)[2:]
        run = run_program(args, folder, stdin, trace)
        calls = parse_trace(run.log, folder)
        new = {w: folder.version(w) for w in ("hosts", "backup")}
        group.stdout = run.stdout
        group.expect = {"hosts": (OLD_HOSTS, new["hosts"]), "backup": (OLD_BACKUP, new["backup"])}
        problems = baseline_problems(run, folder, group, new, calls)
        group.violations += [f"{group.name} baseline (no fault): {p}" for p in problems]
        group.faults = faults_for(calls, folder.root, group.ebusy, args.full)


def baseline_problems(run, folder, group, new, calls):
    _, target, success = COMMANDS[group.command]
    problems = check_run(run, folder, group.expect, group.command)
    if None in new.values():
        problems.append("a file is missing after the run")
    if success is not None and (success not in run.stdout or new[target] == group.expect[target][0]):
        problems.append(f"the command did not change the {target} file and report success")
    if success is None and new["hosts"] != OLD_HOSTS:
        problems.append("the hosts file changed")
    if group.command == "delete-missing" and MISSING not in run.stdout:
        problems.append("the missing host was not reported missing")
    if group.command == "list" and f"[{entry(ENTRIES - 1)}]".encode() not in run.stdout:
        problems.append("the listing does not reach the last entries")
    if not calls:
        problems.append("strace traced no call")
    problems += unsynced_faults(calls, folder) + saved_copy_faults(calls, folder)
    return problems


def inject(args, group, fault):
    call, occurrence, what = fault
    stdin = COMMANDS[group.command][0]
    with Folder() as folder:
        run = run_program(args, folder, stdin, strace_args(fault, group.ebusy))
        problems = check_run(run, folder, group.expect, group.command, group.ebusy)
        if run.killed:
            problems += check_cleanup(args, folder, run, group.expect, group.ebusy)
    where = f"{group.name} {call}#{occurrence} {what}"
    return [f"{where}: {p}" for p in problems], run.injected


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--program", required=True, help="the test build of the program")
    parser.add_argument("--strace", default=shutil.which("strace"))
    parser.add_argument("--group", action="append", default=[],
                        help="run only this group (e.g. delete, or delete/rename-ebusy); repeatable")
    parser.add_argument("--all", action="store_true", help="print every violation, not a few")
    parser.add_argument("--full", action="store_true", help="try every occurrence, no sampling")
    parser.add_argument("--list", action="store_true", help="print the faults without running them")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--run-timeout", type=float, default=30)
    args = parser.parse_args()
    args.program = os.path.abspath(args.program)
    skip(strace_cannot(args.strace))
    groups = [new_group(c, e) for e in (False, True) for c in COMMANDS]
    groups = [g for g in groups if not args.group or g.name in args.group or g.command in args.group]
    if not groups:
        parser.error("no such group: " + ", ".join(args.group))
    with ThreadPoolExecutor(max_workers=args.jobs) as pool:
        total = sum(run_group(args, pool, group) for group in groups)
    print(f"fault injection: {sum(g.runs for g in groups)} runs, {total} violations")
    return 1 if total else 0


def run_group(args, pool, group):
    baseline(args, group)
    if args.list:
        for fault in group.faults:
            print(f"{group.name} {fault[0]}#{fault[1]} {fault[2]}")
        return 0
    for problems, injected in pool.map(lambda f: inject(args, group, f), group.faults):
        group.runs += 1
        group.violations += problems
        group.missed += not injected
    limits = 0
    if not group.ebusy:
        problems, limits = memory_faults(args, group)
        group.violations += problems
        group.runs += limits
    shown = group.violations if args.all else group.violations[:5]
    for v in shown:
        print("  " + v)
    if len(shown) < len(group.violations):
        print(f"  ... and {len(group.violations) - len(shown)} more (--all prints them)")
    missed = f", {group.missed} faults never reached" if group.missed else ""
    under = f" ({limits} under memory limits)" if limits else ""
    print(f"{group.name}: {group.runs} runs{under}, {len(group.violations)} violations{missed}",
          flush=True)
    return len(group.violations)


if __name__ == "__main__":
    sys.exit(main())
