#!/usr/bin/env python3
"""End-to-end tests of the Windows build of hosts-manager, run under Wine.

ctest runs this script in four roles (see CMakeLists.txt beside it), all sharing one folder of
the build tree, the "area":

  build    cross compiles the program into AREA/cross
  prefix   makes a fresh private Wine prefix in AREA/prefix
  run NAME runs the test NAME: the program, fed through a pipe, against the prefix's own
           C:\\windows\\system32\\drivers\\etc\\hosts, in a working folder AREA/work/NAME
  stop     stops the prefix's wineserver and what still runs in it

The prefix has no Z: drive, which Wine maps to / by default; the area is its D: drive instead, so
a Windows program run here cannot even name the machine's own /etc/hosts.
"""

import argparse
import os
import re
import shutil
import subprocess
import sys
import unittest
from pathlib import Path

# Set from the command line before any test runs.
AREA = Path()
WINE = ""
WINESERVER = ""

# The program's texts, as main.cpp writes them. Its console is GBK (code page 936).
MENU = (
    "by--Morvane\n"
    "----------------------------\n"
    "1 备份hosts文件[必须]\n"
    "2 添加网址域名与其对应的IP地址\n"
    "3 显示所有的关联\n"
    "4 删除已有的关联\n"
    "5 还原hosts文件\n"
    "6 使用说明\n"
    "----------------------------\n"
)
PROMPT = "cmd:"
FORMAT = "格式：[IP + 空格 + URL] 例: 127.0.0.1 www.baidu.com\n\n"
ASK_ADD = "请输入要建立的关联: "
ASK_DELETE = "请输入要删除的关联: "
NO_SUCH_ITEM = "没有此项\n"
BACKED_UP = "已将hosts文件备份到本程序所在目录\n"
RESTORED = "已将hosts文件还原\n"
USAGE = (
    "1.本程序需要以管理员模式打开\n"
    "2.hosts文件为系统文件，修改有风险！所以必须先备份！\n如果出现问题，请自行百度解决！\n\n"
)
# What Wine's cmd.exe prints for "pause" in a Chinese locale: its own translation, without the
# spaced dots of Windows' "请按任意键继续. . ." and without a line end, since no key is read at
# the end of the pipe. Its "cls" prints nothing when stdout is not a console.
PAUSE = "请按任意键继续..."


def screen(*passes):
    """The program's whole stdout for one run: a pass per command, each with the command's
    output, then the menu at which input ends. stdout is a text-mode stream on Windows, so every
    line end comes out as CR LF."""
    text = "".join(MENU + PROMPT + output + PAUSE for output in passes) + MENU + PROMPT + "\n"
    return text.replace("\n", "\r\n").encode("gbk")


def typed(*lines):
    """What a user types, line by line, as a Windows pipe carries it."""
    return "".join(line + "\r\n" for line in lines).encode("gbk")


def prefix_dir():
    return AREA / "prefix"


def etc_dir():
    return prefix_dir() / "drive_c" / "windows" / "system32" / "drivers" / "etc"


def program():
    return AREA / "cross" / "hosts-manager.exe"


def wine_env(debug="-all"):
    """The environment for Wine: the private prefix, a Chinese locale as on the program's home
    systems, and nothing that could reach a display or another prefix."""
    env = {
        name: value
        for name, value in os.environ.items()
        if not name.startswith(("WINE", "LC_", "DISPLAY", "WAYLAND"))
    }
    env.update(
        WINEPREFIX=str(prefix_dir()),
        WINEARCH="win64",
        WINEDEBUG=debug,
        # No Mono or Gecko: the program needs neither, and looking for them costs seconds.
        WINEDLLOVERRIDES="mscoree,mshtml=",
        LANG="zh_CN.UTF-8",
        LC_ALL="zh_CN.UTF-8",
    )
    return env


def checked(command, **options):
    print("+", " ".join(str(part) for part in command), flush=True)
    subprocess.run(command, check=True, **options)


def build(args):
    cross = AREA / "cross"
    # The Linux build's own compiler choices must not leak into the cross build.
    env = {
        name: value
        for name, value in os.environ.items()
        if name not in ("CC", "CXX", "CFLAGS", "CXXFLAGS", "LDFLAGS")
    }
    checked(
        [
            args.cmake, "-S", args.source, "-B", cross,
            "-DCMAKE_TOOLCHAIN_FILE=" + args.toolchain, "-DBUILD_TESTING=OFF",
        ],
        env=env,
    )
    checked([args.cmake, "--build", cross, "--parallel", "2"], env=env)
    if not program().is_file():
        sys.exit(f"{program()} was not built")


def stop(_args=None):
    if prefix_dir().is_dir():
        # Only this prefix's server: it ends the programs that run in this prefix and no other.
        subprocess.run([WINESERVER, "-k"], env=wine_env(), check=False)
        subprocess.run([WINESERVER, "-w"], env=wine_env(), check=True, timeout=60)


def make_prefix(_args):
    # A server left from an earlier run would still have the old prefix's files open.
    stop()
    shutil.rmtree(prefix_dir(), ignore_errors=True)
    checked([WINE, "wineboot", "-i"], env=wine_env(), timeout=150)
    # The registry reaches the disk when the server ends.
    checked([WINESERVER, "-w"], env=wine_env(), timeout=60)
    drives = prefix_dir() / "dosdevices"
    (drives / "z:").unlink(missing_ok=True)
    (drives / "d:").symlink_to(AREA.resolve(), target_is_directory=True)
    if not (etc_dir() / "hosts").is_file():
        sys.exit(f"the new prefix has no {etc_dir() / 'hosts'}")
    # A server and session that outlast each test keep the runs quick: a program that starts the
    # session itself hands its pipes on to the session's services, and its run then lasts until
    # they end, seconds later. The server ends by itself 30 s after the last program in it.
    quiet = dict(stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    checked([WINESERVER, "-p30"], env=wine_env(), **quiet)
    checked([WINE, "cmd", "/c", "exit"], env=wine_env(), timeout=60, **quiet)


class WineTests(unittest.TestCase):
    maxDiff = None

    def setUp(self):
        self.work = AREA / "work" / self.id().rsplit(".", 1)[-1]
        shutil.rmtree(self.work, ignore_errors=True)
        self.work.mkdir(parents=True)
        self.etc_names = sorted(path.name for path in etc_dir().iterdir())

    def tearDown(self):
        # A temporary file left beside the hosts file would show here.
        self.assertEqual(sorted(path.name for path in etc_dir().iterdir()), self.etc_names)

    def set_hosts(self, content):
        (etc_dir() / "hosts").write_bytes(content)

    def hosts(self):
        return (etc_dir() / "hosts").read_bytes()

    def run_program(self, stdin, debug="-all"):
        # The whole input is in the pipe, and the pipe closed, before the program starts: its C
        # runtime then reads all of it at the first prompt, and cmd's "pause" finds the pipe at
        # its end. Fed a line at a time, "pause" would take one byte of the next command.
        read_end, write_end = os.pipe()
        os.write(write_end, stdin)
        os.close(write_end)
        with os.fdopen(read_end, "rb") as pipe:
            done = subprocess.run(
                [WINE, str(program())],
                stdin=pipe,
                capture_output=True,
                cwd=self.work,
                env=wine_env(debug),
                timeout=60,
            )
        self.assertEqual(done.returncode, 0, done.stderr.decode("gbk", "replace"))
        return done

    def check_run(self, stdin, *passes):
        run = self.run_program(stdin)
        self.assertEqual(run.stdout, screen(*passes))
        self.assertEqual(run.stderr, b"")

    def test_list_crlf(self):
        hosts = (
            b"# The machine's names\r\n"
            b"127.0.0.1 localhost\r\n"
            b"\r\n"
            b"# 10.0.0.9 commented.test\r\n"
            b"::1 localhost\r\n"
            b"10.0.0.1 a.test b.test\r\n"
        )
        self.set_hosts(hosts)
        self.check_run(
            typed("3"), "[127.0.0.1 localhost]\n[::1 localhost]\n[10.0.0.1 a.test b.test]\n"
        )
        self.assertEqual(self.hosts(), hosts)

    def test_add_keeps_crlf(self):
        hosts = b"# The machine's names\r\n127.0.0.1 localhost\r\n"
        self.set_hosts(hosts)
        self.check_run(
            typed("2", "1.2.3.4 example.test"),
            FORMAT + ASK_ADD + "[1.2.3.4 example.test]已写入\n",
        )
        self.assertEqual(self.hosts(), hosts + b"1.2.3.4 example.test\r\n")

    def test_add_after_last_line_without_line_end(self):
        self.set_hosts(b"# The machine's names\r\n127.0.0.1 localhost")
        self.check_run(
            typed("2", "1.2.3.4 example.test"),
            FORMAT + ASK_ADD + "[1.2.3.4 example.test]已写入\n",
        )
        self.assertEqual(
            self.hosts(),
            b"# The machine's names\r\n127.0.0.1 localhost\r\n1.2.3.4 example.test\r\n",
        )

    # Comments of every kind, kept byte for byte by a rewrite.
    COMMENTED = [
        b"# The machine's names\r\n",
        b"127.0.0.1 localhost\r\n",
        b"\r\n",
        b"# a.test points at the old server   \r\n",
        b"10.0.0.1 a.test\r\n",
        b"\t# indented note\r\n",
        b"10.0.0.2 b.test\r\n",
        "# 结束\r\n".encode("gbk"),
    ]

    def test_replace_keeps_comments(self):
        self.set_hosts(b"".join(self.COMMENTED))
        self.check_run(
            typed("2", "10.9.9.9 a.test"),
            FORMAT + ASK_ADD + "hosts_write:loc = 1\n[10.9.9.9 a.test]已写入\n",
        )
        lines = list(self.COMMENTED)
        lines.remove(b"10.0.0.1 a.test\r\n")
        self.assertEqual(self.hosts(), b"".join(lines) + b"10.9.9.9 a.test\r\n")

    def test_delete_keeps_comments(self):
        self.set_hosts(b"".join(self.COMMENTED))
        self.check_run(
            typed("4", "10.0.0.2 b.test"),
            FORMAT + ASK_DELETE + "hosts_write:loc = 2\n[10.0.0.2 b.test]已删除\n",
        )
        lines = list(self.COMMENTED)
        lines.remove(b"10.0.0.2 b.test\r\n")
        self.assertEqual(self.hosts(), b"".join(lines))

    def test_replace_reads_past_a_ctrl_z(self):
        # A text stream on Windows ends at a 0x1A byte; the lines after it must survive too.
        hosts = (
            b"127.0.0.1 localhost\r\n"
            b"# stray \x1a byte\r\n"
            b"10.0.0.1 a.test\r\n"
            b"10.0.0.2 b.test\r\n"
        )
        self.set_hosts(hosts)
        self.check_run(
            typed("3", "2", "127.0.0.2 localhost"),
            "[127.0.0.1 localhost]\n[10.0.0.1 a.test]\n[10.0.0.2 b.test]\n",
            FORMAT + ASK_ADD + "hosts_write:loc = 0\n[127.0.0.2 localhost]已写入\n",
        )
        self.assertEqual(
            self.hosts(),
            b"# stray \x1a byte\r\n10.0.0.1 a.test\r\n10.0.0.2 b.test\r\n127.0.0.2 localhost\r\n",
        )

    def test_delete_keeps_an_lf_only_line(self):
        self.set_hosts(b"# crlf\r\n# lf only\n127.0.0.1 a\r\n10.0.0.1 b\r\n")
        self.check_run(
            typed("4", "0 a"), FORMAT + ASK_DELETE + "hosts_write:loc = 0\n[0 a]已删除\n"
        )
        self.assertEqual(self.hosts(), b"# crlf\r\n# lf only\n10.0.0.1 b\r\n")

    def test_delete_keeps_a_cr_at_a_piece_boundary(self):
        # 4,094 bytes of comment and its CR fill one 4095-byte read; the LF comes in the next.
        comment = b"#" + b"c" * 4093 + b"\r\n"
        self.set_hosts(comment + b"127.0.0.1 a\r\n10.0.0.1 b\r\n")
        self.check_run(
            typed("4", "0 a"), FORMAT + ASK_DELETE + "hosts_write:loc = 0\n[0 a]已删除\n"
        )
        self.assertEqual(self.hosts(), comment + b"10.0.0.1 b\r\n")

    def test_end_of_file_byte_stays_last(self):
        self.set_hosts(b"127.0.0.1 a\r\n10.0.0.1 b\r\n\x1a")
        self.check_run(
            typed("3", "4", "0 a", "2", "1.2.3.4 c.test"),
            "[127.0.0.1 a]\n[10.0.0.1 b]\n",
            FORMAT + ASK_DELETE + "hosts_write:loc = 0\n[0 a]已删除\n",
            FORMAT + ASK_ADD + "[1.2.3.4 c.test]已写入\n",
        )
        self.assertEqual(self.hosts(), b"10.0.0.1 b\r\n1.2.3.4 c.test\r\n\x1a")

    def test_refuses_requests_that_cannot_be_entries(self):
        hosts = b"127.0.0.1 a\r\n"
        self.set_hosts(hosts)
        lines, passes = [], []
        for command, ask in (("2", ASK_ADD), ("4", ASK_DELETE)):
            for request in (" a.example", "#x b.example", "\ta.example b"):
                lines += [command, request]
                passes.append(FORMAT + ask + f"hosts_write:{request}格式错误！\nhosts_write err: -4\n")
        self.check_run(typed(*lines), *passes)
        self.assertEqual(self.hosts(), hosts)

    def test_backup_and_restore(self):
        # Mixed line ends, GBK text and no final line end: a backup keeps them all.
        hosts = "# 备份\r\n127.0.0.1 localhost\n10.0.0.1 a.test\r\n# 没有行尾".encode("gbk")
        self.set_hosts(hosts)
        backup = self.work / "hosts"
        backup.write_bytes(b"an older backup\r\n")

        self.check_run(
            typed("1", "2", "1.2.3.4 example.test"),
            BACKED_UP,
            FORMAT + ASK_ADD + "[1.2.3.4 example.test]已写入\n",
        )
        self.assertEqual(backup.read_bytes(), hosts)
        self.assertEqual(self.hosts(), hosts + b"\r\n1.2.3.4 example.test\r\n")

        self.check_run(typed("5"), RESTORED)
        self.assertEqual(self.hosts(), hosts)
        self.assertEqual(backup.read_bytes(), hosts)
        self.assertEqual(sorted(path.name for path in self.work.iterdir()), ["hosts"])

    def test_menu_in_gbk(self):
        hosts = b"127.0.0.1 localhost\r\n"
        self.set_hosts(hosts)
        run = self.run_program(typed("9", "6"))
        self.assertEqual(run.stdout, screen(NO_SUCH_ITEM, USAGE))
        # The same bytes spelled out, so that the check does not rest on Python's codec alone.
        self.assertTrue(run.stdout.startswith(b"by--Morvane\r\n"))
        self.assertIn(b"cmd:\xc3\xbb\xd3\xd0\xb4\xcb\xcf\xee\r\n", run.stdout)
        self.assertIn(b"\r\n6 \xca\xb9\xd3\xc3\xcb\xb5\xc3\xf7\r\n", run.stdout)
        self.assertEqual(self.hosts(), hosts)

    def test_pause_and_cls_every_pass(self):
        self.set_hosts(b"127.0.0.1 localhost\r\n")
        # Wine's process trace names each program started, with its command line.
        run = self.run_program(typed("3", "9", "6"), debug="-all,+process")
        self.assertEqual(run.stdout, screen("[127.0.0.1 localhost]\n", NO_SUCH_ITEM, USAGE))
        trace = run.stderr.decode("utf-8", "replace")
        started = r'CreateProcessInternalW app .* cmdline L"[^"]*cmd\.exe /c (\w+)"'
        commands = re.findall(started, trace)
        self.assertEqual(commands, ["pause", "cls"] * 3, trace)


def run_test(args):
    suite = unittest.defaultTestLoader.loadTestsFromName(
        "WineTests.test_" + args.name, sys.modules[__name__]
    )
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    sys.exit(0 if result.wasSuccessful() and result.testsRun == 1 else 1)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--area", required=True, type=Path)
    parser.add_argument("--wine", required=True)
    parser.add_argument("--wineserver", required=True)
    roles = parser.add_subparsers(dest="role", required=True)
    role = roles.add_parser("build")
    role.add_argument("--cmake", required=True)
    role.add_argument("--source", required=True)
    role.add_argument("--toolchain", required=True)
    role.set_defaults(act=build)
    roles.add_parser("prefix").set_defaults(act=make_prefix)
    roles.add_parser("stop").set_defaults(act=stop)
    role = roles.add_parser("run")
    role.add_argument("name")
    role.set_defaults(act=run_test)
    args = parser.parse_args()

    global AREA, WINE, WINESERVER
    AREA, WINE, WINESERVER = args.area, args.wine, args.wineserver
    args.act(args)


if __name__ == "__main__":
    main()
