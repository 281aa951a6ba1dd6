"""What the Python test scripts share: the environment of a program run under strace, the wait
for a program that strace holds in a call, a temporary folder that holds the hosts file, and
checks that are counted and kept, for one verdict at the end of a run."""

import os
import platform
import re
import shutil
import subprocess
import sys
import tempfile
import time

# The exit status of a test that cannot run here, which ctest reports as skipped.
SKIP = 77

# x86_64's numbers of the system calls a test holds a program in, as /proc/PID/syscall gives them.
SYSCALLS = {"write": 1, "lseek": 8, "fsync": 74, "fchmod": 91, "fchown": 93, "fsetxattr": 190,
            "flistxattr": 196, "fremovexattr": 199, "getdents64": 217, "openat": 257,
            "newfstatat": 262}
O_APPEND = 0o2000


def held_on(pid, call, fields):
    """What a held call works on: the path of its descriptor; for an open, "append" when it opens
    to append and "open" otherwise, then the path it names in the program's memory."""
    if call == "openat":
        mode = "append" if int(fields[3], 16) & O_APPEND else "open"
        return f"{mode} {memory_string(pid, int(fields[2], 16))}"
    return os.readlink(f"/proc/{pid}/fd/{int(fields[1], 16)}")


def memory_string(pid, address, most=4096):
    """The NUL-ended string at `address` in process `pid`'s memory, as far as it can be read."""
    text = b""
    try:
        with open(f"/proc/{pid}/mem", "rb") as mem:
            while b"\0" not in text and len(text) < most:
                # Never past a 256-byte boundary, which no page boundary lies within.
                mem.seek(address + len(text))
                text += mem.read(256 - (address + len(text)) % 256)
    except OSError:
        pass
    return text.split(b"\0")[0].decode(errors="replace")


# A line of strace's log (-f gives its process id, -ttt its time), and in its arguments the paths
# of descriptors (-y) and the strings.
TRACE_LINE = re.compile(r"^(?:(\d+)\s+)?(?:(\d+\.\d+) )?(\w+)\((.*)\)\s+=\s+(-?\d+|\?)")
FD_PATH = re.compile(r"(?<![\w>])\d+<([^>]*)>")
STRING = re.compile(r'"((?:[^"\\]|\\.)*)"')


def traced_calls(log):
    """Each call in an strace log: (process id, time, name, arguments, result)."""
    return [m.groups() for m in map(TRACE_LINE.match, log.splitlines()) if m]


def skip(reason):
    """Ends a test that cannot run here, saying why; returns when `reason` is false: it can."""
    if reason:
        print(f"SKIPPED: {reason}")
        sys.exit(SKIP)


def traced_env():
    """The environment for a program run under strace. LeakSanitizer cannot run under ptrace and
    would fail every traced run of a sanitizer build; AddressSanitizer itself still watches every
    access."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    return env


def tracee(strace_proc, program, timeout=10):
    """The program that strace started; strace's own short-lived children, which probe what
    the kernel can do, are not it."""
    children = f"/proc/{strace_proc.pid}/task/{strace_proc.pid}/children"
    program = os.path.realpath(program)
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        with open(children) as f:
            for pid in f.read().split():
                try:
                    if os.readlink(f"/proc/{pid}/exe") == program:
                        return int(pid)
                except OSError:
                    pass
        time.sleep(0.002)
    raise RuntimeError("strace started no program")


def wait_in_call(pids, call, on, timeout, pause=0.002, failing=False):
    """Waits until one of the processes that `pids()` names (None: any) is at the entry of `call` on a file
    whose path `on` accepts, which strace's delay_enter keeps it in: False when none gets there
    within `timeout` seconds. A call that strace is `failing` (error=) shows as call -1, without
    its arguments, while it is held; strace's -P has matched its file already."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for pid in (pids or (lambda: filter(str.isdigit, os.listdir("/proc"))))():
            try:
                with open(f"/proc/{pid}/syscall") as f:
                    fields = f.read().split()
                if failing and fields[:1] == ["-1"]:
                    return True
                if fields and fields[0] == str(SYSCALLS[call]) and on(held_on(pid, call, fields)):
                    return True
            except (OSError, ValueError, IndexError):
                pass
        time.sleep(pause)
    return False


class HostsFolder:
    """The hosts file at ETC/hosts and working folders beside ETC, where the test build of the
    program, run in one, finds it as ../etc/hosts. Made fresh in a temporary folder and removed
    with all it holds when the `with` block ends; or, for the Wine prefix, that prefix's own etc
    folder, with the working folders under `root`, which stay."""

    def __init__(self, hosts=None, prefix="hosts-", etc=None, root=None):
        self.made = root is None
        self.root = os.path.realpath(root or tempfile.mkdtemp(prefix=prefix))
        self.etc = str(etc) if etc else self.folder("etc")
        self.hosts = os.path.join(self.etc, "hosts")
        self.mounts = []  # mounted inside, aborted before the removal, which they would hang
        if hosts is not None:
            self.write(hosts)

    def folder(self, name):
        """The folder `name` inside, made if it is not there yet."""
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def work(self, name=""):
        """A working folder: work/, or work-NAME/ for one of several."""
        return self.folder("work-" + name if name else "work")

    def write(self, content, path=None):
        with open(path or self.hosts, "wb") as f:
            f.write(content)

    def content(self, path=None):
        """What the hosts file (or `path`) holds; None when it cannot be read."""
        try:
            with open(path or self.hosts, "rb") as f:
                return f.read()
        except OSError:
            return None

    def replace_by(self, content):
        """What a tool that writes a new file and renames it over the old one does."""
        self.write(content, self.hosts + ".tool")
        os.rename(self.hosts + ".tool", self.hosts)

    def beside(self, lock=True):
        """The names in the hosts file's folder, the lock file's only if `lock`."""
        return sorted(n for n in os.listdir(self.etc) if lock or n != "hosts.lock")

    def strays(self, *works, lock=True):
        """Every file the program may have left: beside the hosts file (the lock file too, if
        `lock`) and in the working folders `works`, but the hosts file and the backups."""
        found = [os.path.join(self.etc, n) for n in self.beside(lock) if n.startswith("hosts.")]
        for work in works:
            found += [os.path.join(work, n) for n in os.listdir(work) if n != "hosts"]
        return sorted(found)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        for path in reversed(self.mounts):
            subprocess.run(["umount", "-l", path], check=True)
        if self.made:
            shutil.rmtree(self.root, ignore_errors=True)


def describe(data, old, new):
    """What a file holds, told against its old and new content (None: no such version)."""
    if data is None:
        return "nothing (it is missing)"
    for label, full in (("old", old), ("new", new)):
        if data == full:
            return f"its {label} content"
        if full and full.startswith(data):
            return f"{len(data)} bytes, a cut-short {label} ({len(full)} bytes)"
    return f"{len(data)} bytes, neither old nor new"


def never_half(run, files, target, success, others, strays, named, killed=False, torn=False):
    """What a faulted run broke of the promises every command keeps, as texts: it ends normally
    (unless `killed`); each of `files` ({which: (content, old, new)}) holds its old or new content
    whole (or, if `torn` may be, both are kept in `strays`); `success` shows exactly when `target`
    is new, no other of `others` shows; every stray (path: content) is `named`, and holds a version
    whole unless it is the lock file."""
    problems = []
    if run.status == "timeout":
        problems.append("the program hung")
    elif run.status != 0 and not killed:
        problems.append(f"exit status {run.status}")
    kept = list(strays.values())
    for which, (data, old, new) in files.items():
        if data != old and data != new and not (torn and old in kept and new in kept):
            problems.append(f"the {which} file holds {describe(data, old, new)}")
    if success is not None:
        printed, is_new = success in run.stdout, files[target][0] == files[target][2]
        if printed != is_new and not (killed and not printed):
            problems.append(f"success text {'printed' if printed else 'missing'} with the "
                            f"{target} file holding {describe(*files[target])}")
    problems += ["another command's success text was printed" for other in others
                 if other not in (success or b"") and other in run.stdout]
    versions = [v for _, old, new in files.values() for v in (old, new) if v is not None]
    for path, data in strays.items() if not killed else ():
        name = os.path.relpath(path, os.path.dirname(os.path.dirname(path)))
        if not named(path):
            problems.append(f"left {name} behind, named nowhere")
        elif data not in versions and not path.endswith(".lock"):
            problems.append(f"{name}, named, holds neither version whole")
    return problems


def strace_cannot(strace, hold=False):
    """Why strace cannot fail a call here (or, with `hold`, hold a program inside one, which
    /proc/PID/syscall must show with x86_64's numbers): None when it can."""
    if not strace:
        return "strace is not installed"
    if hold and (platform.machine() != "x86_64" or not os.path.exists("/proc/self/syscall")):
        return "/proc/PID/syscall with x86_64 call numbers is needed to see a held call"
    inject = "inject=chdir:error=EIO" + (":delay_enter=10000" if hold else "")
    try:
        probe = subprocess.run([strace, "-f", "-qq", "-o", os.devnull, "-e", "trace=chdir", "-e",
                                inject, "/bin/sh", "-c", "cd /"], capture_output=True, timeout=30)
    except (OSError, subprocess.TimeoutExpired) as e:
        return f"strace cannot run: {e}"
    if probe.returncode == 0:
        return "strace cannot tamper with calls: " + probe.stderr.decode(errors="replace").strip()
    return None


class Checks:
    """Every check of a run, and the failures among them with what was seen and what was wanted."""

    def __init__(self):
        self.count = 0
        self.failures = []

    def expect(self, what, got, want, detail=""):
        """Checks that `got` is `want`; a failure names `what`, and then `detail` if given."""
        self.count += 1
        if got == want:
            return
        if isinstance(got, list) and isinstance(want, list) and len(got) + len(want) > 20:
            missing, extra = [w for w in want if w not in got], [g for g in got if g not in want]
            seen = f"  missing {missing!r}\n  extra   {extra!r}"
        else:
            seen = f"  got  {got!r}\n  want {want!r}"
        if isinstance(got, bytes) and isinstance(want, bytes):
            at = next((i for i, pair in enumerate(zip(got, want)) if pair[0] != pair[1]), None)
            what += f" (first difference at byte {min(len(got), len(want)) if at is None else at})"
        self.fail(f"{what}:\n{seen}" + (f"\n{detail}" if detail else ""))

    def fail(self, text):
        self.failures.append(text)

    def verdict(self, name):
        """Prints the failures and the count: the exit status, 0 when every check passed."""
        print(*self.failures, f"{name}: {len(self.failures)} of {self.count} checks failed",
              sep="\n")
        return 1 if self.failures else 0
