#!/usr/bin/env python3
"""Fails the Windows build's file calls under Wine, one table row at a time, and checks that the
hosts file and the backup are never left half written.

Wine's server opens, renames, resizes and deletes files; the program itself writes, syncs and
sets attributes. Each run starts a fresh wineserver under strace and the program under its own,
both tracing only calls on the command's files (-P) and failing there the calls the row names.
The program is its server's first process, so its process id, part of the names of the files it
makes beside the target, is the same in every run; the first runs find it. The random number
that ends those names comes from Wine's getrandom(2), which the preloaded zero_random.cpp makes
return zeros for the table's runs; the first two runs, without it, must get different numbers.

Each command first runs without faults, which must change its file, print its success text, keep
the file's hidden and system attributes, and flush what it changed before the success text
(flushed_in_time). Each row then keeps harness.never_half, ends with the outcome it names, the
attributes kept and every fault reached. The runs take wine_test.py's private prefix (AREA/prefix,
whose hosts file is the only one they change) and leave its server and session running again.

Exit status: 0 when every run kept every promise, 1 otherwise, 77 when strace cannot inject faults.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import tempfile
import threading
import time
from pathlib import Path

sys.dont_write_bytecode = True  # no cache of wine_test.py or the modules it shares
import wine_test  # noqa: E402
from harness import (FD_PATH, STRING, describe, never_half, skip, strace_cannot,  # noqa: E402
                     traced_calls, tracee, wait_in_call)

# Wine keeps the hidden (2) and system (4) attributes in this extended attribute.
DOS_ATTRIBUTES = "user.DOSATTRIB"
HIDDEN_SYSTEM = b"0x6"

# Which command's success a run reports: its success text, from the request on where it names
# one, as the program's text-mode stdout holds it.
SUCCESS_ADD, SUCCESS_DELETE, SUCCESS_BACKUP, SUCCESS_RESTORE = ALL_SUCCESS = tuple(
    map(wine_test.console, wine_test.program_texts.successes(wine_test.TEXTS)))


def hosts_text(entries, banner):
    """A hosts file as Windows keeps it, large enough that copying it takes several writes."""
    lines = ["# Copyright (c) 1993-2009 Microsoft Corp.", "#", "# " + banner, "",
             "127.0.0.1 localhost", "10.0.0.1 a.test", "10.0.0.2 b.test", ""]
    lines += [f"10.{i // 250}.{i % 250}.7 host{i:04d}.example" for i in range(entries)]
    return ("\r\n".join(lines) + "\r\n").encode("ascii")


OLD_HOSTS = hosts_text(2800, "current")
OLD_BACKUP = hosts_text(2500, "saved a while ago")
assert len(OLD_HOSTS) > 65536 and len(OLD_BACKUP) > 65536

# name: (lines typed, the file it changes, its success text, whether that file exists before)
COMMANDS = {
    "add-append": (["2", "10.1.2.3 new.example"], "hosts", SUCCESS_ADD, True),
    "add-replace": (["2", "10.9.9.9 a.test"], "hosts", SUCCESS_ADD, True),
    "delete": (["4", "10.0.0.2 b.test"], "hosts", SUCCESS_DELETE, True),
    "backup": (["1"], "backup", SUCCESS_BACKUP, True),
    "first-backup": (["1"], "backup", SUCCESS_BACKUP, False),
    "restore": (["5"], "hosts", SUCCESS_RESTORE, True),
}

# A fault: (process, call, files, occurrences, error). The files are the command's target
# ("hosts"), its new version ("new", NAME.new-PID-0), its old one kept aside ("old",
# NAME.old-PID-0-SIZE), the lock file ("lock", NAME.lock), their "folder", or several joined by
# "+"; the occurrences count the calls of that name on those files, as strace's when= does.
# strace matches a name that exists when it starts only as the kernel resolves it, so a rename
# onto the target through the prefix's dosdevices link is matched by its source, "new". The
# access list goes from the target to "new" as a server's open of the target (READ_CONTROL) and
# a change of the new file's mode (Wine's form of an access list). Process "test" acts rather
# than fails: error "delete" deletes the target while the server is held (delay_enter) at the
# entry of the call, "append" and "rewrite" act while the program is (act_when_held); call
# "plant" leaves what a killed run with the program's own process id left, "new" and "old" whole;
# call "read-only" makes the target read-only (no write bit).
# Outcomes: "new" (success text, the new content), "old" (a report, the old content), "kept"
# (both versions kept beside the target and named), "gone" (the target deleted, not made again).
# The last field is text that stderr must hold.
NEW_WRITE_ENOSPC = ("program", "write", "new", "1", "ENOSPC")
RENAMES_FAIL = ("server", "rename", "new", "1+", "EACCES")
RENAMES_EXDEV = ("server", "rename", "new", "1+", "EXDEV")
# Every rename refused, then every write in place: neither version can be put in place.
DOUBLE_FAULT = [RENAMES_FAIL, ("program", "write", "hosts", "1+", "ENOSPC")]
ROWS = [
    # Writing the new version, before anything touches the target.
    ("new-version-write-enospc", "add-replace", [NEW_WRITE_ENOSPC], "old",
     "fprintf err: No space left on device"),
    ("new-version-sync-eio", "add-replace", [("program", "fsync", "new", "1", "EIO")], "old",
     "fflush err: Input/output error"),
    ("new-version-create-eacces", "add-replace", [("server", "openat", "new", "1", "EACCES")],
     "old", "hosts_write fopen err: Permission denied"),
    ("new-version-attributes-lost", "add-replace", [("program", "fsetxattr", "new", "1", "EIO")],
     "old", "chmod err: Input/output error"),
    ("new-version-mode-eperm", "add-replace", [("program", "fchmod", "new", "1", "EPERM")], "old",
     "chmod err: Permission denied"),
    # The access list, the one rename, the lock file, and what an earlier run left.
    ("access-list-read-eacces", "add-replace", [("server", "openat", "hosts", "4", "EACCES")],
     "old", "chmod err: Permission denied"),
    ("access-list-set-eperm", "add-replace", [("server", "fchmod", "new", "1", "EPERM")], "old",
     "chmod err: Permission denied"),
    ("rename-source-open-eacces", "add-replace", [("server", "openat", "new", "2", "EACCES")],
     "new", None),
    ("rename-eacces-copies-in-place", "add-replace",
     [("server", "rename", "new", "1+", "EACCES")], "new",
     "rename err: Permission denied\r\ncopied in place: " + wine_test.NAMED.decode()),
    # What an ordinary user's open of a read-only file gets, which root's never does under Wine.
    ("read-only-open-eacces", "add-replace",
     [("test", "read-only", "hosts", "", ""), ("server", "openat", "hosts", "1+", "EACCES")],
     "old", "hosts_read fopen err: read-only file"),
    ("lock-file-create-eacces", "add-replace", [("server", "openat", "lock", "1", "EACCES")],
     "new", "hosts.lock is unusable (Permission denied): no turn taken"),
    ("own-pid-leftovers-swept", "add-replace", [("test", "plant", "new+old", "", "")], "new",
     None),
    ("append-to-a-deleted-file", "add-append", [("test", "openat", "hosts", "3", "delete")],
     "gone", "hosts_write fopen err: No such file or directory"),
    ("folder-flush-eio", "add-replace", [("program", "fsync", "folder", "1", "EIO")], "new",
     "sync err: Input/output error"),
    # The in-place copy, where no rename can replace the target.
    ("rename-exdev-copies-in-place", "add-replace", [RENAMES_EXDEV], "new", None),
    ("rename-eacces-then-in-place-enospc", "add-replace",
     [RENAMES_FAIL, ("program", "write", "hosts", "1", "ENOSPC")], "old",
     "copy err: No space left on device"),
    ("double-fault", "add-replace", DOUBLE_FAULT, "kept", "restore err: "),
    # The 23rd open of "new" or "old" is the creation of the old copy, after the one that makes
    # "new", the twenty tries of the rename and the one of the rename with POSIX semantics.
    ("in-place-old-copy-create-eacces", "add-replace",
     [RENAMES_FAIL, ("server", "openat", "new+old", "23", "EACCES")], "old",
     "copy err: Permission denied"),
    ("in-place-old-copy-sync-eio", "add-replace",
     [RENAMES_EXDEV, ("program", "fsync", "old", "1", "EIO")], "old", "copy err: "),
    ("in-place-sync-eio", "add-replace", [RENAMES_EXDEV, ("program", "fsync", "hosts", "1", "EIO")],
     "old", "copy err: Input/output error"),
    ("in-place-extend-enospc", "add-replace",
     [RENAMES_EXDEV, ("server", "pwrite64", "hosts", "1", "ENOSPC")], "old",
     "copy err: No space left on device"),
    ("in-place-cut-eio", "delete", [RENAMES_EXDEV, ("server", "ftruncate", "hosts", "1", "EIO")],
     "old", "copy err: Input/output error"),
    # Appending in place, through a handle that may only append, whose writes Wine makes at the
    # file's end with pwrite(2); the 4th open of the file is the second handle that syncs and cuts.
    ("append-write-enospc", "add-append", [("program", "pwrite64", "hosts", "1", "ENOSPC")], "old",
     "fprintf err: No space left on device"),
    ("append-sync-eio", "add-append", [("program", "fsync", "hosts", "1", "EIO")], "old",
     "fprintf err: Input/output error"),
    ("append-and-cut-back-fail", "add-append",
     [("program", "pwrite64", "hosts", "1", "ENOSPC"), ("server", "pwrite64", "hosts", "1", "EIO")],
     "old", "truncate err: Input/output error"),
    ("append-then-stamp-open-eacces", "add-append", [("server", "openat", "hosts", "5", "EACCES")],
     "old", "stat err: Permission denied"),
    ("append-and-cut-back-flush-eio", "add-append",
     [("program", "pwrite64", "hosts", "1", "ENOSPC"), ("program", "fsync", "hosts", "1", "EIO")],
     "old", "truncate err: Input/output error"),
    ("append-open-eacces", "add-append", [("server", "openat", "hosts", "3", "EACCES")], "old",
     "hosts_write fopen err: Permission denied"),
    # Another program writes the same bytes again while the new version syncs, and puts back the
    # last-write time: the change time still tells (-9).
    ("same-size-write-seen", "add-replace", [("test", "fsync", "new", "1", "rewrite")], "old",
     None),
    # Another program appends after the 8th seek on the file, the C runtime's to the end before
    # its write: the append's own line follows theirs, never overwrites it.
    ("append-after-anothers", "add-append", [("test", "lseek", "hosts", "8", "append")], "new",
     None),
    # The other commands.
    ("delete-new-version-write-enospc", "delete", [NEW_WRITE_ENOSPC], "old", None),
    ("delete-rename-exdev-copies-in-place", "delete", [RENAMES_EXDEV], "new", None),
    ("backup-rename-exdev-copies-in-place", "backup", [RENAMES_EXDEV], "new", None),
    ("backup-new-version-sync-eio", "backup", [("program", "fsync", "new", "1", "EIO")], "old",
     None),
    ("backup-second-rename-eacces", "backup", [("server", "rename", "new", "1", "EACCES")],
     "new", None),
    ("backup-double-fault", "backup", DOUBLE_FAULT, "kept", "restore err: "),
    ("first-backup-rename-eacces", "first-backup", [RENAMES_FAIL], "old",
     "rename err: Permission denied"),
    ("first-backup-folder-flush-eio", "first-backup", [("program", "fsync", "folder", "1", "EIO")],
     "new", "sync err: Input/output error"),
    ("restore-second-rename-eacces", "restore", [("server", "rename", "new", "1", "EACCES")],
     "new", None),
    ("restore-new-version-write-enospc", "restore", [NEW_WRITE_ENOSPC], "old", None),
    ("restore-double-fault", "restore", DOUBLE_FAULT, "kept", "restore err: "),
]

# What the runs without faults trace, to check what they flush and when.
BASELINE_CALLS = {"server": "openat,rename,unlink,ftruncate",
                  "program": "write,pwrite64,fsync,fdatasync,ftruncate,fsetxattr,fchmod"}

ARGS = wine_test.ARGS  # the area, Wine and its server, for wine_test's helpers too


# --- The files ------------------------------------------------------------------------------

class Files:
    """The command's files, as the server names them (through the prefix's dosdevices) and as
    the kernel knows them (after the links), for strace's -P and for reading the traces."""

    def __init__(self, command, pid):
        self.command, self.pid = command, pid
        self.folder = wine_test.hosts_folder()
        self.work = Path(self.folder.root) / "wine_faults"
        self.out, self.err = self.work.with_suffix(".out"), self.work.with_suffix(".err")
        which = COMMANDS[command][1]
        self.target = wine_test.etc() / "hosts" if which == "hosts" else self.work / "hosts"
        self.old = OLD_HOSTS if which == "hosts" else OLD_BACKUP
        drive = ("c:", ARGS.area / "prefix" / "drive_c") if which == "hosts" else ("d:", ARGS.area)
        self.dos = ARGS.area / "prefix" / "dosdevices" / drive[0] / self.target.relative_to(drive[1])
        self.names = {"hosts": "hosts", "new": f"hosts.new-{pid}-0",
                      "old": f"hosts.old-{pid}-0-{len(self.old)}", "lock": "hosts.lock"}

    def forms(self, kind):
        """The paths by which calls name the file of KIND: both spellings."""
        name = "" if kind == "folder" else self.names[kind]
        return [str(self.target.parent / name), str(self.dos.parent / name)]

    def kind_of(self, path):
        if path == str(self.out):
            return "console"
        return next((kind for kind in ("hosts", "new", "old", "lock", "folder")
                     if path in self.forms(kind)), None)

    def prepare(self):
        """The old hosts file and backup, each hidden and system, and nothing beside them."""
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        for path in self.folder.strays():
            os.unlink(path)
        files = [(wine_test.etc() / "hosts", OLD_HOSTS)]
        if COMMANDS[self.command][3] or COMMANDS[self.command][1] == "hosts":
            files.append((self.work / "hosts", OLD_BACKUP))
        for path, content in files:
            if path.exists():
                path.chmod(0o644)
            path.write_bytes(content)
            os.setxattr(path, DOS_ATTRIBUTES, HIDDEN_SYSTEM)

    def plant(self):
        """What a run with the program's process id left when it was killed while it copied the
        target in place, the target still whole: its new version and the old one's copy."""
        folder = self.target.parent
        (folder / f"hosts.new-{self.pid}-7").write_bytes(self.old + b"# new\r\n")
        (folder / f"hosts.old-{self.pid}-7-{len(self.old)}").write_bytes(self.old)

    def strays(self):
        """Every file beside the target (but the lock file) and in the working folder."""
        return [Path(p) for p in self.folder.strays(self.work, lock=False)]


def content(path):
    return wine_test.hosts_folder().content(path)


def attributes(path):
    try:
        return os.getxattr(path, DOS_ATTRIBUTES)
    except OSError:
        return None


# --- Running the program --------------------------------------------------------------------

class Run:
    def __init__(self, files, status, logs):
        self.status = status
        self.stdout = content(files.out) or b""
        # strace tells on the program's stderr how it resolved the names it was given.
        self.stderr = re.sub(rb"(?m)^\S*strace: Requested path .*\n", b"", content(files.err) or b"")
        self.logs = logs
        self.target = content(files.target)
        self.attributes = attributes(files.target)


def strace_options(files, side, faults, calls, paths):
    """strace's options for one of the two processes: what it traces, on which files, and the
    faults it injects there."""
    # The test deletes while it holds the server in the call, and appends while it holds the
    # program.
    mine = [f if f[0] == side else (side, *f[1:4], "delay_enter=2000000") for f in faults
            if f[0] == side or HELD.get(f[4]) == side]
    traced = calls or ",".join(sorted({f[1] for f in mine})) or "rename"
    options = ["-ttt", "-qq", "-y", "-s", "64", "-e", "trace=" + traced]
    for _, call, kind, when, error in mine:
        tamper = error if error.startswith("delay") else "error=" + error
        options += ["-e", f"inject={call}:{tamper}:when={when}"]
    kinds = paths or sorted({k for f in mine for k in f[2].split("+")}) or ["hosts"]
    for kind in kinds:
        for form in files.forms(kind):
            options += ["-P", form]
    return options


def server_ready():
    """Whether the prefix's server listens: its socket is in the folder that it names in the
    prefix, under the temporary folder."""
    named = ARGS.area / "prefix" / "wineserver"
    if not named.is_file():
        return False
    st = os.stat(ARGS.area / "prefix")
    folder = f"{named.read_text().strip()}/server-{st.st_dev:x}-{st.st_ino:x}/socket"
    return any(os.path.exists(os.path.join(base, folder))
               for base in filter(None, (os.environ.get("TMPDIR"), "/tmp")))


def stop_server(env):
    subprocess.run([ARGS.wineserver, "-k"], env=env, check=False, capture_output=True)
    subprocess.run([ARGS.wineserver, "-w"], env=env, check=False, timeout=60)


def run(files, faults=(), calls=None, paths=None, server_paths=True, zero=True):
    """Runs the command once in a fresh server, with FAULTS injected; CALLS and PATHS trace more
    (a run without faults), and without SERVER_PATHS the server's calls on every file."""
    env = wine_test.wine_env()
    files.prepare()
    if any(f[1] == "plant" for f in faults):
        files.plant()
    if any(f[1] == "read-only" for f in faults):
        files.target.chmod(0o444)
    stop_server(env)
    logs = {side: Path(tempfile.mkstemp(prefix=f"wine-faults-{side}-")[1])
            for side in ("server", "program")}
    server_options = strace_options(files, "server", faults, calls and calls["server"], paths)
    if not server_paths:
        server_options = [o for i, o in enumerate(server_options)
                          if o != "-P" and (i == 0 or server_options[i - 1] != "-P")]
    server = subprocess.Popen(
        [ARGS.strace, "-f", "--seccomp-bpf", "-o", logs["server"], *server_options,
         ARGS.wineserver, "-f", "-p0"], env=env, stdin=subprocess.DEVNULL,
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        deadline = time.time() + 30
        while not server_ready() and server.poll() is None and time.time() < deadline:
            time.sleep(0.01)
        program_env = dict(env, LD_PRELOAD=ARGS.zero_random) if zero else env
        deleter = threading.Thread(target=act_when_held, args=(files, faults, server),
                                   daemon=True)
        deleter.start()
        status = run_program(files, faults, calls, paths, logs["program"], program_env)
        deleter.join()
    finally:
        stop_server(env)
        server.wait(timeout=60)
    texts = {side: log.read_text(errors="replace") for side, log in logs.items()}
    for log in logs.values():
        log.unlink()
    return Run(files, status, texts)


# Whom the test holds while it acts.
HELD = {"delete": "server", "append": "program", "rewrite": "program"}


def act_when_held(files, faults, server):
    """Deletes the target once the server is held at the entry of the call that a "delete" row
    names on it, as its strace holds it there; once the program is held so in the call of an
    "append" row, appends to it, of a "rewrite" row, writes its bytes again and puts its last
    write time back. Only the server's call counts: the program's own look at the name, caught
    in passing, would have it deleted before the server opens it; and the program's call counts
    only while it stays, not one caught on its way."""
    acts = [f for f in faults if f[4] in HELD]
    if not acts:
        return
    _, call, kind, _, act = acts[0]
    if act != "delete":
        if held_still(call, lambda path: path in files.forms(kind)):
            was = files.target.stat()
            with open(files.target, "ab" if act == "append" else "r+b") as f:
                f.write(wine_test.THEIRS if act == "append" else files.old)
            if act == "rewrite":
                os.utime(files.target, ns=(was.st_atime_ns, was.st_mtime_ns))
        return
    pid = str(tracee(server, ARGS.wineserver))
    if held_still(call, lambda path: path.endswith(" " + str(files.dos)), lambda: [pid]):
        files.target.unlink()


def held_still(call, on, pids=None):
    """Whether a process (of those PIDS names) is held in CALL on a file that ON takes: there, and
    again 0.3 s later. A call that a loaded machine shows in passing is gone by then."""
    deadline = time.monotonic() + 30
    while wait_in_call(pids, call, on, deadline - time.monotonic(), pause=0.01):
        time.sleep(0.3)
        if wait_in_call(pids, call, on, 0.05, pause=0.01):
            return True
    return False


def run_program(files, faults, calls, paths, log, env):
    typed = wine_test.typed(COMMANDS[files.command][0])
    program_options = strace_options(files, "program", faults, calls and calls["program"], paths)
    if paths:
        program_options += ["-P", str(files.out)]
    with tempfile.TemporaryFile() as stdin, open(files.out, "wb") as out, \
            open(files.err, "wb") as err:
        stdin.write(typed)
        stdin.seek(0)
        # Files, not pipes: the session that the program starts would hold a pipe open after it.
        try:
            done = subprocess.run(
                [ARGS.strace, "-o", log, *program_options, ARGS.wine,
                 ARGS.area / "cross" / "hosts-manager.exe"],
                stdin=stdin, stdout=out, stderr=err, cwd=files.work, env=env, timeout=60)
            return done.returncode
        except subprocess.TimeoutExpired:
            return "timeout"


# --- Reading the traces -----------------------------------------------------------------------

def calls_in(done, files):
    """The traced calls of both processes in the order they were made: (time, side, name, kinds
    of the files they name, whether they succeeded)."""
    found = []
    for side, log in done.logs.items():
        for _, stamp, name, args, result in traced_calls(log):
            paths = FD_PATH.findall(args)
            if name not in ("write", "pwrite64"):  # their strings are data, not names
                paths += STRING.findall(args)
            kinds = [files.kind_of(path) for path in paths]
            found.append((float(stamp), side, name, kinds, result not in ("?", "-1")))
    return sorted(found)


def flushed_in_time(calls):
    """What a run without faults had not flushed when it printed its success text: after the last
    rename onto the target, its folder; after a replacement of the existing target (which moves
    it aside first), the target too; after the last write into the target, the target."""
    renames = [(t, kinds) for t, _, name, kinds, ok in calls if name == "rename" and ok]
    onto = [t for t, kinds in renames if kinds[-1:] == ["hosts"]]
    writes = [t for t, side, name, kinds, ok in calls
              if side == "program" and name == "write" and kinds == ["hosts"] and ok]
    due = [(onto[-1], "folder")] if onto else []
    if onto and any(kinds[:1] == ["hosts"] for _, kinds in renames):
        due.append((onto[-1], "hosts"))
    if writes:
        due.append((writes[-1], "hosts"))
    changed = min([t for t, _ in due], default=0)
    printed = min((t for t, side, name, kinds, _ in calls
                   if side == "program" and name == "write" and kinds == ["console"] and t > changed),
                  default=float("inf"))
    flushes = [(t, kinds) for t, side, name, kinds, ok in calls
               if side == "program" and name == "fsync" and ok]
    return [f"the {'target' if what == 'hosts' else what} is not flushed between its change and "
            "the next console output" for after, what in due
            if not any(after < t < printed and kinds == [what] for t, kinds in flushes)]


# --- Checking a run ---------------------------------------------------------------------------

def check(run, files, new, outcome, text, faults):
    """What broke in one run: a list of texts, empty when it kept every promise, the row's
    `outcome` among them (a deleted target has no old version to hold)."""
    success = COMMANDS[files.command][2]
    old = files.old if COMMANDS[files.command][3] and outcome != "gone" else None
    strays = {path: content(path) for path in files.strays()}
    problems = never_half(run, {"target": (run.target, old, new)}, "target", success, ALL_SUCCESS,
                          strays, lambda path: path.name.encode() in run.stderr,
                          torn=outcome == "kept")
    holds = next((name for name, v in (("old", old), ("new", new)) if run.target == v), None)
    if outcome in ("new", "old", "gone") and holds != outcome.replace("gone", "old"):
        problems.append(f"the target holds {describe(run.target, old, new)}, not its {outcome}")
    if outcome == "kept" and not {old, new} <= set(strays.values()):
        problems.append("the old and the new version are not both kept and named")
    # A backup takes nothing from the one it replaces in the working folder.
    if run.target is not None and holds and old is not None \
            and COMMANDS[files.command][1] == "hosts" and run.attributes != HIDDEN_SYSTEM:
        problems.append(f"the target's attributes are {run.attributes}, not hidden and system")
    if text and text.encode() not in run.stderr:
        problems.append(f"stderr lacks {text!r}")
    for side, call, kind, when, error in faults:
        side = HELD.get(error, side)
        if side != "test" and not re.search(rf"{call}\(.*\((INJECTED|DELAYED)\)", run.logs[side]):
            problems.append(f"the fault {call} {kind} {when} {error} was never reached")
    if problems:
        problems.append(f"stdout ends {run.stdout[-200:]!r}; stderr {run.stderr!r}")
    return problems


# --- The table --------------------------------------------------------------------------------

def process_id():
    """The program's process id in a fresh server, found in the server's traces of two runs that
    draw their random numbers as ever, and what broke: the numbers must differ."""
    names = []
    for _ in range(2):
        files = Files("add-replace", 0)
        done = run(files, calls={"server": "openat", "program": "fsync"}, paths=["hosts"],
                   server_paths=False, zero=False)
        names += re.findall(r"hosts\.new-(\d+)-(\d+)", done.logs["server"])[:1]
    if len(names) < 2:
        return None, ["the program's new version was not seen in the server's trace"]
    return names[0][0], [f"two runs named their new versions alike: {names}"
                         for same in [names[0][1] == names[1][1]] if same]


def baseline(command, pid):
    """Runs COMMAND without faults: its new content, and what broke."""
    files = Files(command, pid)
    done = run(files, calls=BASELINE_CALLS, paths=["hosts", "new", "old", "folder"])
    new = done.target
    problems = check(done, files, new, "new", None, [])
    if new in (None, files.old if COMMANDS[command][3] else None):
        problems.append("the command did not change its file")
    problems += flushed_in_time(calls_in(done, files))
    return new, [f"{command} without faults: {p}" for p in problems]


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--area", type=lambda path: Path(path).resolve(), required=True)
    for option in ("wine", "wineserver", "zero-random"):
        parser.add_argument("--" + option, required=True)
    parser.add_argument("--strace", default=shutil.which("strace"))
    parser.add_argument("--row", action="append", default=[], help="run only this row")
    parser.add_argument("--list", action="store_true", help="print the rows")
    parser.parse_args(namespace=ARGS)
    rows = [r for r in ROWS if not ARGS.row or r[0] in ARGS.row]
    if ARGS.list or not rows:
        print(*(f"{r[0]}: {r[1]}, {r[2]} -> {r[3]}" for r in rows), sep="\n")
        return 0 if rows else 2
    skip(strace_cannot(ARGS.strace))
    try:
        return run_rows(rows)
    finally:
        clean_up()
        wine_test.warm()


def run_rows(rows):
    started = time.time()
    pid, violations = process_id()
    if not pid:
        print(*violations)
        return 1
    new = {}
    for command in sorted({r[1] for r in rows}):
        new[command], problems = baseline(command, pid)
        violations += problems
    for name, command, faults, outcome, text in rows:
        files = Files(command, pid)
        # Another program's line appended meanwhile comes before the command's own.
        after = files.old + wine_test.THEIRS + new[command][len(files.old):] \
            if any(f[4] == "append" for f in faults) else new[command]
        problems = check(run(files, faults), files, after, outcome, text, faults)
        violations += [f"{name}: {p}" for p in problems]
        print(f"{name}: {'ok' if not problems else 'FAILED'}", flush=True)
    print(*violations, sep="\n")
    print(f"wine fault injection: {len(rows)} rows and {len(new)} runs without faults in "
          f"{time.time() - started:.0f} s, program id {pid}, {len(violations)} violations")
    return 1 if violations else 0


def clean_up():
    """Leaves the prefix's hosts file as the Wine cases expect it: plain, nothing beside it."""
    files = Files("backup", 0)
    for path in files.strays():
        path.unlink()
    shutil.rmtree(files.work, ignore_errors=True)
    for path in (files.out, files.err):
        path.unlink(missing_ok=True)
    wine_test.plain()


if __name__ == "__main__":
    sys.exit(main())
