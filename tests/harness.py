"""What the Python test scripts share: the environment of a program run under strace, the wait
for a program that strace holds in a call, a temporary folder that holds the hosts file, and
checks that are counted and kept, for one verdict at the end of a run."""

import os
import shutil
import tempfile
import time

# x86_64's numbers of the system calls a test holds a program in, as /proc/PID/syscall gives them.
SYSCALLS = {"write": 1, "fsync": 74, "fchmod": 91, "fchown": 93, "fsetxattr": 190,
            "flistxattr": 196, "fremovexattr": 199, "getdents64": 217, "openat": 257,
            "newfstatat": 262}
O_APPEND = 0o2000


def held_on(pid, call, fields):
    """What a held call works on: the path of its descriptor; for an open, which names its file
    by a path in the program's memory (strace's -P has matched that already), "append" when it
    opens to append and "open" otherwise."""
    if call == "openat":
        return "append" if int(fields[3], 16) & O_APPEND else "open"
    return os.readlink(f"/proc/{pid}/fd/{int(fields[1], 16)}")


def traced_env():
    """The environment for a program run under strace. LeakSanitizer cannot run under ptrace and
    would fail every traced run of a sanitizer build; AddressSanitizer itself still watches every
    access."""
    env = dict(os.environ)
    env["ASAN_OPTIONS"] = ":".join(filter(None, [env.get("ASAN_OPTIONS"), "detect_leaks=0"]))
    return env


def wait_in_call(pids, call, on, timeout, pause=0.002, failing=False):
    """Waits until one of the processes that `pids()` names is at the entry of `call` on a file
    whose path `on` accepts, which strace's delay_enter keeps it in: False when none gets there
    within `timeout` seconds. A call that strace is `failing` (error=) shows as call -1, without
    its arguments, while it is held; strace's -P has matched its file already."""
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        for pid in pids():
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
    """A fresh temporary folder holding the hosts file at etc/hosts, where the test build of the
    program, run in a working folder beside etc/, finds it as ../etc/hosts. It is removed with
    all it holds when the `with` block ends, whatever the checks found."""

    def __init__(self, prefix, hosts):
        self.root = os.path.realpath(tempfile.mkdtemp(prefix=prefix))
        self.etc = self.folder("etc")
        self.hosts = os.path.join(self.etc, "hosts")
        with open(self.hosts, "wb") as f:
            f.write(hosts)

    def folder(self, name):
        """The folder `name` inside, made if it is not there yet."""
        path = os.path.join(self.root, name)
        os.makedirs(path, exist_ok=True)
        return path

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        shutil.rmtree(self.root, ignore_errors=True)


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
