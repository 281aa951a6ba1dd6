#!/usr/bin/env python3
"""End-to-end tests of the Windows build of hosts-manager, run under Wine.

  build     cross compiles the program and the tests' helper (wine_helper.cpp) into AREA/cross
  prefix    makes a private Wine prefix in AREA/prefix
  run NAME  runs case NAME against the prefix's C:\\windows\\system32\\drivers\\etc\\hosts,
            fed through a pipe, in the working folder AREA/work/NAME
  stop      stops the prefix's wineserver and what still runs in it
  list      prints the case names, for CMake

The prefix has no Z: drive, which Wine maps to / by default; the area is its D: drive instead, so
a Windows program run here cannot even name the machine's own /etc/hosts.

A case that this Wine or this machine cannot run is skipped, with the reason (exit status 77).
"""

import argparse
import contextlib
import ctypes
import os
import platform
import pty
import re
import select
import shutil
import subprocess
import sys
import tempfile
import threading
import time
import tty
from pathlib import Path

sys.dont_write_bytecode = True  # no cache of the shared test modules in the source tree
sys.path.insert(0, str(Path(__file__).resolve().parent.parent))
import program_texts  # noqa: E402
from harness import SKIP, Checks, HostsFolder, skip, wait_in_call  # noqa: E402

# The program's texts, read from hosts/texts.h as the GBK (code page 936) bytes its console shows,
# and the result codes of its "TAG err: CODE" lines.
TEXTS = program_texts.load()
CODES = program_texts.codes()
MENU, ADD, DELETE = program_texts.prompts(TEXTS)
OPEN_FAILED = program_texts.err_line("hosts_read", CODES["read_open_failed"])
MALFORMED = program_texts.err_line("hosts_write", CODES["write_malformed"])
# Not the program's text but Wine's: its cmd.exe prints its own translation of "pause", without
# the spaced dots of Windows' and without a line end, since no key is read at the end of the pipe;
# "cls" prints nothing to a pipe.
PAUSE = "请按任意键继续...".encode("gbk")


def said(name, request):
    """The program's printf-format text NAME (added, deleted, write_malformed) for REQUEST."""
    return program_texts.filled(TEXTS[name], request)


def console(text):
    """TEXT as the program's stdout holds it: a text-mode stream, where every line end is CR LF."""
    return text.replace(b"\n", b"\r\n")


def screen(passes):
    """The whole stdout of a run: each command's output between menus, then the menu at which
    input ends."""
    return console(b"".join(MENU + output + PAUSE for output in passes) + MENU + b"\n")


# Comments of every kind, which a rewrite keeps byte for byte.
COMMENTED = [
    b"# The machine's names\r\n", b"127.0.0.1 localhost\r\n", b"\r\n",
    b"# a.test points at the old server   \r\n", b"10.0.0.1 a.test\r\n", b"\t# indented note\r\n",
    b"10.0.0.2 b.test\r\n", "# 结束\r\n".encode("gbk"),
]
# 4,094 bytes of comment and its CR fill one 4095-byte read; the LF comes in the next.
LONG = b"#" + b"c" * 4093 + b"\r\n"
# The first byte of each request makes it no entry; each is refused by add and by delete alike.
REFUSED = [(c, r, ask) for c, ask in (("2", ADD), ("4", DELETE))
           for r in (" a.example", "#x b.example", "\ta.example b")]
NAMES = b"# The machine's names\r\n127.0.0.1 localhost"
STRAY = b"127.0.0.1 localhost\r\n# stray \x1a byte\r\n10.0.0.1 a.test\r\n10.0.0.2 b.test\r\n"

# name, hosts file, lines typed, output of each command, hosts file after (None: unchanged)
ROWS = [
    ("list_crlf", b"# The machine's names\r\n127.0.0.1 localhost\r\n\r\n# 10.0.0.9 commented.test"
     b"\r\n::1 localhost\r\n10.0.0.1 a.test b.test\r\n", ["3"],
     [b"[127.0.0.1 localhost]\n[::1 localhost]\n[10.0.0.1 a.test b.test]\n"], None),
    ("add_keeps_crlf", NAMES + b"\r\n", ["2", "1.2.3.4 example.test"],
     [ADD + said("added", b"1.2.3.4 example.test")], NAMES + b"\r\n1.2.3.4 example.test\r\n"),
    ("add_after_last_line_without_line_end", NAMES, ["2", "1.2.3.4 example.test"],
     [ADD + said("added", b"1.2.3.4 example.test")], NAMES + b"\r\n1.2.3.4 example.test\r\n"),
    ("replace_keeps_comments", b"".join(COMMENTED), ["2", "10.9.9.9 a.test"],
     [ADD + b"hosts_write:loc = 1\n" + said("added", b"10.9.9.9 a.test")],
     b"".join(COMMENTED).replace(b"10.0.0.1 a.test\r\n", b"") + b"10.9.9.9 a.test\r\n"),
    ("delete_keeps_comments", b"".join(COMMENTED), ["4", "10.0.0.2 b.test"],
     [DELETE + b"hosts_write:loc = 2\n" + said("deleted", b"10.0.0.2 b.test")],
     b"".join(COMMENTED).replace(b"10.0.0.2 b.test\r\n", b"")),
    # A text stream on Windows ends at a 0x1A byte; the lines after it must survive too.
    ("replace_reads_past_a_ctrl_z", STRAY, ["3", "2", "127.0.0.2 localhost"],
     [b"[127.0.0.1 localhost]\n[10.0.0.1 a.test]\n[10.0.0.2 b.test]\n",
      ADD + b"hosts_write:loc = 0\n" + said("added", b"127.0.0.2 localhost")],
     STRAY.replace(b"127.0.0.1 localhost\r\n", b"") + b"127.0.0.2 localhost\r\n"),
    ("delete_keeps_an_lf_only_line", b"# crlf\r\n# lf only\n127.0.0.1 a\r\n10.0.0.1 b\r\n",
     ["4", "0 a"], [DELETE + b"hosts_write:loc = 0\n" + said("deleted", b"0 a")],
     b"# crlf\r\n# lf only\n10.0.0.1 b\r\n"),
    ("delete_keeps_a_cr_at_a_piece_boundary", LONG + b"127.0.0.1 a\r\n10.0.0.1 b\r\n",
     ["4", "0 a"], [DELETE + b"hosts_write:loc = 0\n" + said("deleted", b"0 a")],
     LONG + b"10.0.0.1 b\r\n"),
    ("end_of_file_byte_stays_last", b"127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a",
     ["3", "4", "0 a", "2", "1.2.3.4 c.test"],
     [b"[127.0.0.1 a]\n[10.0.0.1 b]\n", DELETE + b"hosts_write:loc = 0\n" + said("deleted", b"0 a"),
      ADD + said("added", b"1.2.3.4 c.test")], b"10.0.0.1 b\r\n1.2.3.4 c.test\r\n\x1a"),
    ("refuses_requests_that_cannot_be_entries", b"127.0.0.1 a\r\n",
     [line for c, r, _ in REFUSED for line in (c, r)],
     [ask + said("write_malformed", r.encode()) + MALFORMED for _, r, ask in REFUSED], None),
    # The C runtime reads 4,096 bytes of the pipe at the first prompt; cmd's pause would then
    # take the next byte from the pipe, the "3".
    ("pause_takes_no_input", b"127.0.0.1 a\r\n", ["9" + " " * 4093, "3"],
     [TEXTS["no_such_item"], b"[127.0.0.1 a]\n"], None),
]

ARGS = argparse.Namespace()
CHECKS = Checks()
expect = CHECKS.expect
# The prefix's hosts file, as the program names it.
HOSTS = r"C:\windows\system32\drivers\etc\hosts"


class Skip(Exception):
    """What this Wine or this machine cannot do, for a case that needs it."""


def etc():
    return ARGS.area / "prefix" / "drive_c" / "windows" / "system32" / "drivers" / "etc"


def hosts_folder():
    """The prefix's hosts file, with the working folders in AREA/work."""
    return HostsFolder(etc=etc(), root=ARGS.area / "work")


# How wine() runs programs: as root in the private prefix under a Chinese locale, but for a case
# that asks for an ordinary user (ordinary_user) or another locale (russian).
RUN = {"command": [], "prefix": None, "locale": "zh_CN.UTF-8", "view": None}
# The ANSI code page of each locale, as Python names it.
ANSI = {"zh_CN.UTF-8": "gbk", "ru_RU.UTF-8": "cp1251"}


def wine_env(debug="-all"):
    """A Chinese locale as on the program's home systems, the private prefix, and nothing that
    could reach a display or another prefix."""
    env = {name: value for name, value in os.environ.items()
           if not name.startswith(("WINE", "LC_", "DISPLAY", "WAYLAND"))}
    # No Mono or Gecko: the program needs neither, and looking for them costs seconds.
    env.update(WINEPREFIX=str(RUN["prefix"] or ARGS.area / "prefix"), WINEARCH="win64",
               WINEDEBUG=debug, WINEDLLOVERRIDES="mscoree,mshtml=", LANG=RUN["locale"],
               LC_ALL=RUN["locale"])
    if RUN["prefix"]:
        env["HOME"] = str(RUN["prefix"])
    return env


def checked(command, **options):
    print("+", " ".join(map(str, command)), flush=True)
    subprocess.run(command, check=True, **options)


def typed(lines):
    """LINES as typed at the console: each ended by CR LF, in GBK."""
    return "".join(line + "\r\n" for line in lines).encode("gbk")


def step(work, hosts, lines, passes, after=None, backup=None, debug="-all", errors=()):
    """Runs the program once in WORK against HOSTS (None: the file as it is) and checks its exit
    status, stdout, stderr (the ERRORS lines, when Wine prints nothing of its own: the program's
    report tags, each with the C runtime's or the system's message), the hosts file, the backup
    beside it (None: none) and that no other file is left beside either."""
    folder = hosts_folder()
    hosts = folder.content() if hosts is None else hosts
    folder.write(hosts)
    names = folder.beside(lock=False)
    # The whole input is in the pipe, and the pipe closed, before the program starts: its C
    # runtime then reads all of it at the first prompt, and cmd's "pause" finds the pipe at its
    # end. Fed a line at a time, "pause" would take one byte of the next command.
    read_end, write_end = os.pipe()
    os.write(write_end, typed(lines))
    os.close(write_end)
    with os.fdopen(read_end, "rb") as pipe:
        done = wine(ARGS.area / "cross" / "hosts-manager.exe", stdin=pipe, cwd=work, debug=debug)
    expect("exit status", done.returncode, 0, done.stderr.decode("gbk", "replace"))
    # Wine's cmd now and then loses its own "pause" prompt on a pipe (seen about once in a few
    # dozen runs). The prompt is Wine's, not the program's, and pause_and_cls_every_pass sees
    # every pause in the trace, so the program's output is compared without it.
    expect("stdout", done.stdout.replace(PAUSE, b""), screen(passes).replace(PAUSE, b""))
    if debug == "-all":
        expect("stderr", done.stderr, b"".join(line + b"\r\n" for line in errors))
    expect("hosts file", folder.content(), hosts if after is None else after)
    expect("files beside the hosts file", folder.beside(lock=False), names)
    copy = work / "hosts"
    expect("backup", copy.read_bytes() if copy.exists() else None, backup)
    expect("files in the working folder", sorted(p.name for p in work.iterdir()),
           [] if backup is None else ["hosts"])
    return done


def windows(path):
    """A file in the area, named as the program sees it under Wine: on drive D:."""
    return "D:\\" + str(Path(path).relative_to(ARGS.area)).replace("/", "\\")


def seen(path):
    """PATH as the user wine runs as reaches it: in the area's view, for an ordinary user."""
    inside = RUN["view"] and isinstance(path, Path) and ARGS.area in (path, *path.parents)
    return RUN["view"] / path.relative_to(ARGS.area) if inside else path


def wine(*args, debug="-all", cwd=None, **options):
    return subprocess.run([*RUN["command"], ARGS.wine, *map(str, map(seen, args))],
                          capture_output=True, env=wine_env(debug), timeout=60,
                          cwd=cwd and seen(Path(cwd)), **options)


def helper(*args):
    """Runs the tests' own Windows program (wine_helper.cpp) with ARGS."""
    return wine(ARGS.area / "cross" / "wine_helper.exe", *args)


def attributes(path):
    """The attribute letters that Windows' `attrib` shows for PATH, sorted."""
    lines = wine("attrib", path).stdout.decode("gbk", "replace").splitlines()
    line = next((l.rstrip() for l in lines if l.rstrip().lower().endswith(path.lower())), "")
    return "".join(sorted(set(line[:len(line) - len(path)]) - {" "}))


HIDDEN = ("+h", "+s")  # attrib's flags of a hidden system file


@contextlib.contextmanager
def marked(work, flags, changed, want, paths=("hosts", "backup")):
    """The hosts file and the backup (or PATHS of them) marked with attrib's FLAGS, and after the
    run the attributes WANT of the one it CHANGED: a hidden system file stays one through each
    rewrite that puts a new file in its place, a read-only one is never made writable, and a
    backup takes nothing from the one it replaces in the working folder."""
    if not (work / "hosts").exists():
        (work / "hosts").write_bytes(OLDER)
    for path, flag in ((path, flag) for path in paths for flag in flags):
        wine("attrib", flag, HOSTS if path == "hosts" else windows(work / "hosts"))
    try:
        yield
        expect(f"attributes of {changed}", attributes(changed), want)
    finally:
        plain(work / "hosts")


def plain(*paths):
    """The hosts file (and PATHS) as the cases expect it: writable, neither hidden nor system."""
    (etc() / "hosts").chmod(0o644)  # where Wine keeps read-only
    for path in (etc() / "hosts", *paths):
        with contextlib.suppress(OSError):
            os.removexattr(path, "user.DOSATTRIB")  # where Wine keeps hidden and system


@contextlib.contextmanager
def holding(*args, word=b"held"):
    """While the tests' own Windows program (wine_helper.cpp) holds what ARGS name, from when it
    says WORD until its input ends: the process."""
    holder = subprocess.Popen([ARGS.wine, ARGS.area / "cross" / "wine_helper.exe", *args],
                              stdin=subprocess.PIPE, stdout=subprocess.PIPE, env=wine_env())
    try:
        expect(f"the word of the holder of {args[:2]}", holder.stdout.readline().rstrip(), word)
        yield holder
    finally:
        holder.stdin.close()
        holder.wait(timeout=60)


@contextlib.contextmanager
def held_alone(work):
    """Another program holds the hosts file, shared with nobody (an editor, a scanner)."""
    (work / "hosts").write_bytes(OLDER)
    with holding("hold", HOSTS):
        yield


@contextlib.contextmanager
def russian(work):
    """Another program holds the hosts file under a Russian locale, whose ANSI code page is 1251,
    not 936 as Chinese's."""
    RUN["locale"] = "ru_RU.UTF-8"
    try:
        with held_alone(work):
            yield
    finally:
        RUN["locale"] = "zh_CN.UTF-8"


@contextlib.contextmanager
def held_shared(lets_go):
    """Another program holds the hosts file shared for reading and writing but not for deletion
    (a scanner, an indexer), which refuses the rename; one that lets go within the rewrite's wait
    sees the file renamed over (a new file in its place)."""
    was = (etc() / "hosts").stat().st_ino
    with holding("hold", HOSTS, "shared") as holder:
        if lets_go:
            threading.Thread(target=let_go_once_renamed, args=(holder,), daemon=True).start()
        yield
    expect(f"renamed over (the holder lets go: {lets_go})", (etc() / "hosts").stat().st_ino != was,
           lets_go)


def let_go_once_renamed(holder):
    """Ends HOLDER's hold 0.2 s after the new version appears, by then written and renamed."""
    deadline = time.monotonic() + 30
    while time.monotonic() < deadline and not any(
            p.name.startswith("hosts.new-") for p in etc().iterdir()):
        time.sleep(0.005)
    time.sleep(0.2)
    holder.stdin.close()


OLDER, LOCALHOST = b"an older backup\r\n", b"127.0.0.1 localhost\r\n"
THEIRS = b"10.6.6.6 www.example.test\r\n"


@contextlib.contextmanager
def planted(work, name, change, content=THEIRS):
    """The file NAME in WORK (or beside the hosts file, for etc/NAME) holding CONTENT, as
    CHANGE(path) leaves it, until the run is checked."""
    path = etc() / name[4:] if name.startswith("etc/") else work / name
    path.write_bytes(content)
    change(path)
    try:
        yield
    finally:
        path.unlink(missing_ok=True)
        (work.parent / "elsewhere").unlink(missing_ok=True)


def others(path):
    os.chown(path, 65534, 65534)


@contextlib.contextmanager
def ordinary_user(_):
    """Wine run as an ordinary user (nobody), to whom it refuses what root may do, in a prefix of
    theirs on the private prefix's drives; theirs too the hosts file and a read-only lock file."""
    if not shutil.which("setpriv"):
        raise Skip("setpriv (util-linux) is needed to run Wine as an ordinary user")
    # The area may lie in a folder only root may enter (a checkout in a 0700 folder): the user
    # sees it bound at a folder of its own, in this script's own mount namespace.
    view = Path(tempfile.mkdtemp(prefix="hosts-wine-view-"))
    view.chmod(0o755)
    libc = ctypes.CDLL(None, use_errno=True)
    if libc.unshare(0x20000) or libc.mount(None, b"/", None, 0x4000 | 0x40000, None):  # NEWNS;
        raise Skip("no private mount namespace: " + os.strerror(ctypes.get_errno()))  # PRIVATE
    checked(["mount", "--bind", ARGS.area, view])
    user, lock = ARGS.area / "prefix-user", etc() / "hosts.lock"
    shutil.rmtree(user, ignore_errors=True)
    (user / "dosdevices").mkdir(parents=True)
    for name in ("system.reg", "user.reg", "userdef.reg", ".update-timestamp"):
        shutil.copy2(ARGS.area / "prefix" / name, user / name)
    (user / "dosdevices" / "c:").symlink_to(view / "prefix" / "drive_c")
    (user / "dosdevices" / "d:").symlink_to(view)
    lock.write_bytes(b"")
    lock.chmod(0o444)
    for path in (user, *user.rglob("*"), etc() / "hosts", lock):
        os.chown(path, 65534, 65534, follow_symlinks=False)
    RUN.update(command=["setpriv", "--reuid=65534", "--regid=65534", "--clear-groups"],
               view=view)
    RUN.update(prefix=seen(user))
    try:
        yield
    finally:
        subprocess.run([*RUN["command"], ARGS.wineserver, "-k"], env=wine_env(), check=False)
        RUN.update(command=[], prefix=None, view=None)
        lock.unlink()
        os.chown(etc() / "hosts", 0, 0)
        subprocess.run(["umount", "-l", view], check=False)
        view.rmdir()


def message(code):
    """The system's message for the Windows error CODE, in GBK here; Wine 8 has none for
    ERROR_FILE_READ_ONLY (6009)."""
    said = helper("message", code)
    text = said.stdout.rstrip() if said.returncode == 0 else {"6009": b"read-only file"}[code]
    text = text.decode(ANSI[RUN["locale"]]).encode("gbk")  # as the helper got it, then in GBK
    expect(f"the system's message for error {code}", bool(text), True)
    return text


IN_USE, READ_ONLY = "32", "6009"  # ERROR_SHARING_VIOLATION, ERROR_FILE_READ_ONLY
NAMED = rb"C:\Windows\System32\drivers\etc\hosts"  # the program's own name, made absolute
HELD_REWRITE = (["2", "10.9.9.9 a.test"],
                [ADD + b"hosts_write:loc = 1\n" + said("added", b"10.9.9.9 a.test")])
REPLACED = b"".join(COMMENTED).replace(b"10.0.0.1 a.test\r\n", b"") + b"10.9.9.9 a.test\r\n"
NO_B = REPLACED.replace(b"10.0.0.2 b.test\r\n", b"")
# Rows run with something set up around them: name, hosts file, lines typed, outputs, hosts file
# after, backup after, the lines on stderr (each bytes, or a tag and the Windows error whose system
# message follows it), and the setup (a context manager of the working folder).
ROWS += [
    # A hidden system hosts file stays one through a replace, a delete and a restore, each of
    # which puts a new file in its place.
    ("attributes_kept_through_every_rewrite", b"".join(COMMENTED), *HELD_REWRITE, REPLACED, OLDER,
     [], lambda w: marked(w, HIDDEN, HOSTS, "AHS")),
    ("attributes_kept_through_every_rewrite", None, ["4", "10.0.0.2 b.test"],
     [DELETE + b"hosts_write:loc = 1\n" + said("deleted", b"10.0.0.2 b.test")], NO_B, OLDER, [],
     lambda w: marked(w, HIDDEN, HOSTS, "AHS")),
    ("attributes_kept_through_every_rewrite", None, ["1"], [TEXTS["backed_up"]], None, NO_B, [],
     lambda w: marked(w, HIDDEN, windows(w / "hosts"), "A")),
    ("attributes_kept_through_every_rewrite", None, ["5"], [TEXTS["restored"]], None, NO_B, [],
     lambda w: marked(w, HIDDEN, HOSTS, "AHS")),
    # While another program holds the hosts file, every command that needs it says that it is
    # in use, never that rights are missing, and leaves it whole with nothing beside it.
    ("held_file_reported_in_use", LOCALHOST, ["3", "2", "10.9.9.9 a.test", "1", "5"],
     [OPEN_FAILED, ADD + OPEN_FAILED, b"", b""], None, OLDER,
     [(tag, IN_USE) for tag in (b"hosts_read fopen err", b"hosts_read fopen err", b"fopen rPath",
                                b"rename err", b"copy err")], held_alone),
    # The system's words are in code page 936 whatever the ANSI code page is.
    ("held_file_reported_in_use", LOCALHOST, ["3"], [OPEN_FAILED], None, OLDER,
     [(b"hosts_read fopen err", IN_USE)], russian),
    # A rewrite waits for a holder that refuses the rename: one that lets go sees the file renamed
    # over; one that keeps it sees it copied in place, and the report says so and why.
    ("held_with_sharing_waited_for", LOCALHOST + b"10.0.0.1 a.test\r\n", *HELD_REWRITE,
     LOCALHOST + b"10.9.9.9 a.test\r\n", None, [], lambda w: held_shared(True)),
    ("held_with_sharing_waited_for", LOCALHOST + b"10.0.0.1 a.test\r\n", *HELD_REWRITE,
     LOCALHOST + b"10.9.9.9 a.test\r\n", None,
     [(b"rename err", IN_USE), b"copied in place: " + NAMED], lambda w: held_shared(False)),
    # Restore takes no backup that Wine reports as another user's (another Unix user's file), as
    # writable by others (mode 0666) or as having a second name.
    *(("untrusted_files_left_alone", LOCALHOST, ["5"], [b""], None, THEIRS,
       [b"fopen rPath: hosts is " + why], lambda w, c=change: planted(w, "hosts", c))
      for why, change in ((b"owned by another user", others),
                          (b"writable by others", lambda p: p.chmod(0o666)),
                          (b"a hard link", lambda p: os.link(p, p.parent.parent / "elsewhere")))),
    # A rewrite's sweep leaves another user's leftover (no Windows process id is odd), and a lock
    # file of another user's is reported and not used.
    ("untrusted_files_left_alone", LOCALHOST, ["4", "0 localhost"],
     [DELETE + b"hosts_write:loc = 0\n" + said("deleted", b"0 localhost")], b"", None, [],
     lambda w: planted(w, "etc/hosts.new-7-7", others)),
    ("untrusted_files_left_alone", LOCALHOST, ["3"], [b"[127.0.0.1 localhost]\n"], None, None,
     [b"hosts_lock: " + NAMED + b".lock is owned by another user: no turn taken"],
     lambda w: planted(w, "etc/hosts.lock", others, b"")),
    # A read-only lock file of the user's own takes its turns: it is only read.
    ("read_only_lock_file_takes_turns", LOCALHOST, ["3"], [b"[127.0.0.1 localhost]\n"], None,
     None, [], ordinary_user),
    # A read-only hosts file is refused, never made writable, and said to be read-only, not
    # "Permission denied": an add cannot open it to write, and a restore neither replaces it nor
    # writes into it; a backup of it is made as ever.
    ("read_only_file_refused", LOCALHOST, ["2", "1.2.3.4 example.test", "1", "5"],
     [ADD + OPEN_FAILED, TEXTS["backed_up"], b""], None, LOCALHOST,
     [(tag, READ_ONLY) for tag in (b"hosts_read fopen err", b"rename err", b"copy err")],
     lambda w: marked(w, ["+r"], HOSTS, "AR", ["hosts"])),
]


def run_rows(work, name):
    """Runs the rows of ROWS named NAME, each inside its setup, if it has one."""
    for hosts, lines, passes, after, backup, errors, setup in (
            (*r[1:], None, (), None)[:7] for r in ROWS if r[0] == name):
        with setup(work) if setup else contextlib.nullcontext():
            step(work, hosts, lines, passes, after, backup, errors=[
                e if isinstance(e, bytes) else e[0] + b": " + message(e[1]) for e in errors])


def made(reasons, what, *args):
    """Whether the tests' helper made WHAT with ARGS; where this Wine cannot, REASONS get why."""
    done = helper(*args)
    text = done.stdout.decode(errors="replace").strip()
    if done.returncode == SKIP:
        reasons.append(f"{what}: {text}")
    else:
        expect(f"{what} made", done.returncode, 0, text)
    return done.returncode != SKIP


def reparse_points(work):
    """A backup name that is a symbolic link is refused by backup and restore; one that is a
    reparse point leading nowhere else (a cloud placeholder) is a regular file to them."""
    hosts = b"127.0.0.1 localhost\r\n"
    (etc() / "hosts").write_bytes(hosts)
    backup, reasons = work / "hosts", []
    if made(reasons, "symbolic link", "symlink", windows(backup), HOSTS):
        step(work, None, ["1", "5"], [b"", b""], None, hosts,
             errors=[b"fopen wFp: hosts is a symbolic link", b"fopen rPath: hosts is a symbolic link"])
        backup.unlink()
    # The hosts file as a link: a rewrite changes the file it leads to and keeps the link.
    (etc() / "target").write_bytes(hosts)
    (etc() / "hosts").unlink()
    if made(reasons, "the hosts file as a link", "symlink", HOSTS,
            HOSTS.replace("hosts", "target")):
        step(work, None, ["2", "1.2.3.4 c.test"], [ADD + said("added", b"1.2.3.4 c.test")])
        expect("the link's target", (etc() / "target").read_bytes(), hosts + b"1.2.3.4 c.test\r\n")
    else:
        (etc() / "hosts").write_bytes(hosts)
    (etc() / "target").unlink()
    backup.write_bytes(b"an older backup\r\n")
    if made(reasons, "placeholder", "tag", windows(backup), "0x9000001A"):  # IO_REPARSE_TAG_CLOUD
        step(work, None, ["1"], [TEXTS["backed_up"]], None, hosts)
    if reasons:
        raise Skip("; ".join(reasons))


def exe_resources_and_imports(_):
    """The exe imports only what every Windows has, and carries its version and its manifest."""
    if not ARGS.objdump or not ARGS.windres:
        raise Skip("x86_64-w64-mingw32-objdump or -windres not found (binutils-mingw-w64-x86-64)")
    exe = ARGS.area / "cross" / "hosts-manager.exe"
    dump = subprocess.run([ARGS.objdump, "-p", exe], capture_output=True, text=True, check=True)
    expect("DLLs imported", re.findall(r"DLL Name: (\S+)", dump.stdout),
           ["ADVAPI32.dll", "KERNEL32.dll", "msvcrt.dll"])
    rc = subprocess.run([ARGS.windres, "-i", exe, "-J", "coff", "-O", "rc"], capture_output=True,
                        text=True, check=True).stdout
    version = ARGS.version.replace(".", ", ")
    for want in (f"FILEVERSION {version}, 0", f"PRODUCTVERSION {version}, 0",
                 'VALUE "FileDescription", "hosts-manager: keeps the system hosts file',
                 f'VALUE "FileVersion", "{ARGS.version}"', f'VALUE "ProductVersion", "{ARGS.version}"',
                 'VALUE "LegalCopyright", "Copyright (c) 2026 the hosts-manager authors',
                 'VALUE "OriginalFilename", "hosts-manager.exe"', "1 24 /* RT_MANIFEST */",
                 'requestedExecutionLevel level=""asInvoker"" uiAccess=""false""',
                 'supportedOS Id=""{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}""'):
        expect(f"{want!r} in the resources", want in rc, True, rc)
    expect("no administrator rights asked", "requireAdministrator" in rc, False)


# The name under which the build before the lock file took its turn: a mutex, named after a hash
# of the hosts file's folder, that any user could create first.
def old_mutex_name(folder=r"C:\WINDOWS\SYSTEM32\DRIVERS\ETC"):
    digest = 14695981039346656037  # FNV-1a, 64 bits
    for byte in folder.encode():
        digest = ((digest ^ byte) * 1099511628211) % 2**64
    return f"Global\\hosts-manager-{digest:016x}"


def instances_take_turns(work):
    """While one instance is held by strace inside its rewrite (in the sync of its new version),
    a second one started then waits for it, says so once, and makes its change after the first:
    both changes are in the file. So too while another process holds a mutex or an event under
    the name of the build that took turns under a mutex (which blocked that build or switched
    its turn off), and while another process holds the lock file, which stays, open for its
    attributes alone (which kept the build that deleted it pending deletion)."""
    if not ARGS.strace or platform.machine() != "x86_64":
        raise Skip("strace on x86_64 is needed to hold an instance inside its change")
    for squatter in (None, "mutex", "event", "hold"):
        held = [HOSTS + ".lock", "attributes"] if squatter == "hold" else [old_mutex_name()]
        with holding(squatter, *held) if squatter else contextlib.nullcontext():
            take_turns(work, squatter or "no other object")


def take_turns(work, beside):
    hosts = b"127.0.0.1 localhost\r\n10.0.0.1 a.test\r\n10.0.0.2 b.test\r\n"
    (etc() / "hosts").write_bytes(hosts)
    exe = str(ARGS.area / "cross" / "hosts-manager.exe")
    hold = ["-e", "trace=fsync", "-e", "inject=fsync:delay_enter=4000000:when=1"]
    first = subprocess.Popen([ARGS.strace, "-f", "-qq", "-o", os.devnull, *hold, ARGS.wine, exe],
                             stdin=subprocess.PIPE, stdout=subprocess.PIPE, cwd=work,
                             env=wine_env())
    first.stdin.write(b"4\r\n0 a.test\r\n")
    first.stdin.close()
    try:
        # Any process: Wine's loader, not the test, decides which one runs the program.
        held = wait_in_call(None, "fsync", lambda path: path.startswith(str(etc() / "hosts.new-")),
                            30, pause=0.01)
        expect(f"the first instance held in the sync of its new version ({beside})", held, True)
        second = wine(exe, input=b"2\r\n10.5.5.5 e.test\r\n", cwd=work)
    finally:
        first_out = first.stdout.read()
        first.wait(timeout=60)
    for name, out, want in (
            ("first", first_out, DELETE + b"hosts_write:loc = 1\n" + said("deleted", b"0 a.test")),
            ("second", second.stdout,
             ADD + TEXTS["lock_waiting"] + said("added", b"10.5.5.5 e.test"))):
        expect(f"the {name} instance's stdout ({beside})", out.replace(PAUSE, b""),
               screen([want]).replace(PAUSE, b""))
    expect(f"hosts file: both changes ({beside})", (etc() / "hosts").read_bytes(),
           hosts.replace(b"10.0.0.1 a.test\r\n", b"") + b"10.5.5.5 e.test\r\n")
    expect(f"files beside the hosts file ({beside})", hosts_folder().beside(),
           ["hosts", "hosts.lock", "networks", "protocol", "services"])


def hosts_file_never_missing(work):
    """Another program that asks for the hosts file's attributes all along never finds it
    missing while 200 rewrites replace it (Windows' own replacement renames the old file aside
    first, leaving no file for a moment)."""
    hosts = b"127.0.0.1 localhost\r\n10.0.0.1 a.test\r\n"
    addresses = [f"10.0.{i % 2}.1" for i in range(1, 201)]
    with holding("poll", HOSTS, word=b"polling") as poller:
        step(work, hosts, [line for ip in addresses for line in ("2", ip + " a.test")],
             [ADD + b"hosts_write:loc = 1\n" + said("added", ip.encode() + b" a.test")
              for ip in addresses], hosts.replace(b"10.0.0.1", addresses[-1].encode()))
    counts = poller.stdout.read().split()
    expect("the poller's count", counts[:1] + counts[2:3], [b"asked", b"missing"], counts)
    if len(counts) == 4:
        expect("times asked", int(counts[1]) > 1000, True, counts)
        expect("times the hosts file was missing", int(counts[3]), 0)


def backup_and_restore(work):
    # Mixed line ends, GBK text and no final line end: a backup keeps them all.
    hosts = "# 备份\r\n127.0.0.1 localhost\n10.0.0.1 a.test\r\n# 没有行尾".encode("gbk")
    (work / "hosts").write_bytes(b"an older backup\r\n")
    step(work, hosts, ["1", "2", "1.2.3.4 example.test"],
         [TEXTS["backed_up"], ADD + said("added", b"1.2.3.4 example.test")],
         hosts + b"\r\n1.2.3.4 example.test\r\n", hosts)
    step(work, None, ["5"], [TEXTS["restored"]], hosts, hosts)
    # A hosts file that restore makes anew may be read as the folder's other files may.
    (etc() / "hosts").unlink()
    wine(ARGS.area / "cross" / "hosts-manager.exe", input=b"5\r\n", cwd=work)
    expect("the made hosts file", (etc() / "hosts").read_bytes(), hosts)
    expect("its access list", helper("acl", HOSTS).stdout,
           helper("acl", HOSTS.replace("hosts", "services")).stdout)
    (etc() / "hosts").chmod(0o644)


def menu_in_gbk(work):
    out = step(work, b"127.0.0.1 localhost\r\n", ["9", "6"],
               [TEXTS["no_such_item"], TEXTS["usage"]]).stdout
    # Pinned to their places in stdout: the menu's first line, the answer right after the prompt,
    # and the menu's line of command 6 whole. These are Python's GBK of texts.h's readable texts,
    # and texts_test.cpp holds the escapes the program prints to iconv's GBK of the same texts, so
    # the check does not rest on Python's codec alone.
    menu = console(TEXTS["menu"]).splitlines(keepends=True)
    expect("stdout's first line", out[:len(menu[0])], menu[0])
    usage = next(line for line in menu if line.startswith(b"6 "))
    for raw in b"cmd:" + console(TEXTS["no_such_item"]), b"\r\n" + usage:
        expect(f"{raw!r} in stdout", raw in out, True)


def pause_and_cls_every_pass(work):
    """The system folder's cmd runs pause and cls, without AutoRun (/d), only at a console: on
    pipes neither runs; on a pseudo-terminal, Wine's console, both run after each command."""
    # Wine's process trace names each program started, with its command line.
    started = r'CreateProcessInternalW app L"C:\\\\windows\\\\system32\\\\cmd\.exe" ' \
              r'cmdline L"cmd\.exe /d /c (\w+)"'
    trace = step(work, b"127.0.0.1 localhost\r\n", ["3", "9", "6"],
                 [b"[127.0.0.1 localhost]\n", TEXTS["no_such_item"], TEXTS["usage"]],
                 debug="-all,+process")
    trace = trace.stderr.decode("utf-8", "replace")
    expect("commands started on pipes", re.findall(r"cmd\.exe[^\n]*/c (\w+)", trace), [], trace)
    trace = on_console(work, [(b"cmd:", b"6\r"), (b'/c pause"', b"x"),
                               (b"cmd:", None)])
    expect("commands started at a console", re.findall(started, trace), ["pause", "cls"], trace)


def on_console(work, answers):
    """Runs the program on a pseudo-terminal, which Wine makes a console, typing each answer of
    ANSWERS (None: the terminal hangs up) once the text it waits for is in its output or in
    Wine's process trace: the trace."""
    master, slave = pty.openpty()
    tty.setraw(slave)  # keys as typed: Enter a CR, as a console takes it
    trace_path = work.parent / (work.name + ".trace")  # a file: Wine's services keep pipes open
    with open(trace_path, "wb") as trace:
        program = subprocess.Popen([ARGS.wine, ARGS.area / "cross" / "hosts-manager.exe"],
                                   stdin=slave, stdout=slave, stderr=trace, cwd=work,
                                   env=wine_env("-all,+process"))
    os.close(slave)
    seen = b""
    try:
        for awaited, typed in answers:
            deadline = time.monotonic() + 30
            while awaited not in seen + trace_path.read_bytes() and time.monotonic() < deadline:
                if select.select([master], [], [], 0.05)[0]:
                    seen += os.read(master, 65536)
            seen = b""
            if typed:
                os.write(master, typed)
        # The end of input, as the terminal's hangup gives it.
        os.close(master)
        master = None
        program.wait(timeout=60)
    finally:
        if program.poll() is None:
            program.kill()
        if master is not None:
            os.close(master)
    return trace_path.read_text("utf-8", "replace")


CASES = {name: lambda work, n=name: run_rows(work, n) for name, *_ in ROWS}
CASES.update((f.__name__, f) for f in (
    backup_and_restore, menu_in_gbk, pause_and_cls_every_pass, reparse_points,
    exe_resources_and_imports, instances_take_turns, hosts_file_never_missing))


def run():
    work = Path(hosts_folder().work(ARGS.name))
    shutil.rmtree(work, ignore_errors=True)
    work.mkdir(parents=True)
    try:
        CASES[ARGS.name](work)
    except Skip as why:
        if not CHECKS.failures:
            skip(why)
    sys.exit(CHECKS.verdict(ARGS.name))


def build():
    # The Linux build's own compiler choices must not leak into the cross build.
    env = {name: value for name, value in os.environ.items()
           if name not in ("CC", "CXX", "CFLAGS", "CXXFLAGS", "LDFLAGS")}
    cross = ARGS.area / "cross"
    checked([ARGS.cmake, "-S", ARGS.source, "-B", cross, "-DCMAKE_TOOLCHAIN_FILE=" + ARGS.toolchain],
            env=env)
    checked([ARGS.cmake, "--build", cross, "--parallel", "2"], env=env)
    if not (cross / "hosts-manager.exe").is_file():
        sys.exit(f"{cross / 'hosts-manager.exe'} was not built")
    checked([ARGS.cxx, "-std=c++17", "-O2", "-Wall", "-Wextra", "-Werror", "-static", "-o",
             cross / "wine_helper.exe", Path(__file__).with_name("wine_helper.cpp")], env=env)


def stop():
    if (ARGS.area / "prefix").is_dir():
        # Only this prefix's server: it ends the programs that run in this prefix and no other.
        subprocess.run([ARGS.wineserver, "-k"], env=wine_env(), check=False)
        subprocess.run([ARGS.wineserver, "-w"], env=wine_env(), check=True, timeout=60)


def prefix():
    stop()  # a server left from an earlier run would still have the old prefix's files open
    shutil.rmtree(ARGS.area / "prefix", ignore_errors=True)
    checked([ARGS.wine, "wineboot", "-i"], env=wine_env(), timeout=150)
    checked([ARGS.wineserver, "-w"], env=wine_env(), timeout=60)  # the registry reaches the disk
    drives = ARGS.area / "prefix" / "dosdevices"
    (drives / "z:").unlink(missing_ok=True)
    (drives / "d:").symlink_to(ARGS.area.resolve(), target_is_directory=True)
    if not (etc() / "hosts").is_file():
        sys.exit(f"the new prefix has no {etc() / 'hosts'}")
    warm()


def warm():
    """Starts the prefix's server and session for the cases to come."""
    # A server and session that outlast each case keep the runs quick: a program that starts the
    # session itself hands its pipes on to the session's services, and its run then lasts until
    # they end, seconds later. The server ends by itself ten minutes after the last program in it:
    # the tests that run beside the cases can hold the next one back for minutes. The prefix's
    # stop ends it at once.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    checked([ARGS.wineserver, "-p600"], env=wine_env(), **quiet)
    checked([ARGS.wine, "cmd", "/c", "exit"], env=wine_env(), timeout=60, **quiet)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("role", choices=["build", "prefix", "run", "stop", "list"])
    parser.add_argument("name", nargs="?", choices=list(CASES))
    parser.add_argument("--area", type=lambda path: Path(path).resolve())
    for option in ("wine", "wineserver", "cmake", "source", "toolchain", "cxx", "objdump",
                   "windres", "version"):
        parser.add_argument("--" + option)
    parser.add_argument("--strace", default=shutil.which("strace"))
    parser.parse_args(namespace=ARGS)
    if ARGS.role == "list":
        print(";".join(CASES))
    else:
        dict(build=build, prefix=prefix, run=run, stop=stop)[ARGS.role]()


if __name__ == "__main__":
    main()
