#!/usr/bin/env python3
"""Holds the manual page to the program: its texts, and the session in its EXAMPLES.

  manual_page.py texts --mandoc MANDOC --page PAGE --sources HOSTS_DIR
  manual_page.py example --mandoc MANDOC --page PAGE --program PROGRAM
                         --hosts-path CONFIGURED --program-hosts-path ../etc/hosts

Both read the page as mandoc's HTML, where italics (a text's variable parts) and sections show.

`texts` compares every line the program can print with the page, both ways, with its stream.
The program's lines come from the sources, so a new text is picked up without touching this test:
  - every text of texts.h (standard output, unless the calls that name it print it elsewhere);
  - the string literals first given to printf, puts and fputs(..., stdout) (standard output)
    and to report_text (standard error), their conversions (%s, %d) the variable parts;
  - the tags given to report and fail, those a function returns for its caller to
    report, and WalkFailures' read tags: perror's "TAG: reason" on standard error.
Empty lines and control sequences (the screen clearing) are not texts. The page's lines are the
tags of the lists in DESCRIPTION and DIAGNOSTICS (but the result codes, tags that are a number)
and the lines of the example blocks outside EXAMPLES. A tag in DIAGNOSTICS starts its description
with its stream, "(stdout)" or "(stderr)"; the others are on standard output. A variable part
matches one variable part or any fixed text.

`example` runs the commands of the session in EXAMPLES (lines after "# ", continued by lines
after "> ") in a fresh folder, with the program under test in place of hosts-manager and its
hosts file in place of the configured one, and compares what they print with the page. The
first command must show the hosts file with cat: what it shows is the file the session starts
from.
"""
import argparse
import html.parser
import os
import re
import subprocess
import sys

import program_texts
from harness import HostsFolder

VAR = "\x00"  # a variable part, in a line's normal form
LITERAL = re.compile(r'"(?:\\.|[^"\\\n])*"|\'(?:\\.|[^\'\\\n])*\'')  # a string or character


def normal(line):
    return re.sub(r"\s+", " ", line).strip()


def pattern(line):
    """A regex for `line` in normal form: each variable part matches one variable part or any
    fixed text without one."""
    parts = [re.escape(part) for part in line.split(VAR)]
    return re.compile(("(?:%s|[^%s]+)" % (VAR, VAR)).join(parts))


def same_text(a, b):
    return bool(pattern(a).fullmatch(b) or pattern(b).fullmatch(a))


# --- The program's side -------------------------------------------------------------------

def without_comments(code):
    """The C++ source with its comments blanked, string and character literals kept."""
    out, i = [], 0
    while i < len(code):
        if code.startswith("//", i):
            i = code.find("\n", i) if "\n" in code[i:] else len(code)
        elif code.startswith("/*", i):
            end = code.find("*/", i + 2)
            i = len(code) if end < 0 else end + 2
            out.append(" ")
        else:
            m = LITERAL.match(code, i)
            if m:
                out.append(m.group())
                i = m.end()
            else:
                out.append(code[i])
                i += 1
    return "".join(out)


ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "\\": "\\", '"': '"', "'": "'", "0": "\0"}


def unescape(body):
    def one(m):
        text = m.group(1)
        if text[0] == "x":
            return chr(int(text[1:], 16))
        if text[0] == "0" and len(text) > 1:
            return chr(int(text, 8))
        return ESCAPES.get(text, text)
    return re.sub(r"\\(x[0-9A-Fa-f]+|[0-7]{1,3}|.)", one, body)


def arguments(code, start):
    """The top-level arguments of the call whose "(" is at `start`."""
    args, depth, i, begin = [], 0, start, start + 1
    while i < len(code):
        m = LITERAL.match(code, i)
        if m:
            i = m.end()
            continue
        c = code[i]
        if c in "([{":
            depth += 1
        elif c in ")]}":
            depth -= 1
            if depth == 0:
                args.append(code[begin:i])
                return args
        elif c == "," and depth == 1:
            args.append(code[begin:i])
            begin = i + 1
        i += 1
    return args


def string_values(expression):
    """Each string the expression can be, adjacent literals joined: "a" "b" is one."""
    values = []
    for run in re.finditer(r'"(?:\\.|[^"\\])*"(?:\s*"(?:\\.|[^"\\])*")*', expression):
        pieces = re.findall(r'"((?:\\.|[^"\\])*)"', run.group())
        values.append(unescape("".join(pieces)))
    return values


def format_lines(text):
    """The lines of a printed text in normal form, its conversions made variable parts."""
    for line in text.split("\n"):
        if not line.strip() or re.search(r"[\x01-\x08\x0b-\x1f\x7f]", line):
            continue
        line = re.sub(r"%[-+ #0]*\d*(?:\.\d+)?(?:hh|h|ll|l|z|j|t)?[diouxXscp]", VAR, line)
        yield normal(line.replace("%%", "%"))


CALL = re.compile(r"(?<![\w:])(?:std::)?(printf|puts|fputs|report_text|report|fail)\s*\(")


def program_lines(sources):
    """(line, stream) for every line the program can print, with where it comes from."""
    texts = program_texts.load(os.path.join(sources, "texts.h"), encoding=None)
    text_streams = {name: set() for name in texts}
    lines = {}

    def add(text, stream, origin):
        for line in format_lines(text):
            lines.setdefault((line, stream), origin)

    for name in sorted(os.listdir(sources)):
        if not name.endswith((".cpp", ".h")) or name == "texts.h":
            continue
        code = without_comments(open(os.path.join(sources, name), encoding="utf-8").read())
        for call in CALL.finditer(code):
            function = call.group(1)
            args = arguments(code, call.end() - 1)
            if not args:
                continue
            if function == "fputs" and (len(args) < 2 or args[1].strip() not in
                                        ("stdout", "std::stdout")):
                continue
            stream = "stderr" if function in ("report_text", "report", "fail") else "stdout"
            origin = "%s: %s(%s)" % (name, function, normal(args[0]))
            for value in string_values(args[0]):
                add(value + ": %s" if function in ("report", "fail") else value, stream, origin)
            for text in re.findall(r"texts::(\w+)", args[0]):
                text_streams.setdefault(text, set()).add(stream)
        # A function gives back the tag of the step that failed, for its caller to report as
        # report() does.
        for tag in re.findall(r'return[^;]*?"([a-z]+ err)"', code):
            add(tag + ": %s", "stderr", "%s: returned report tag" % name)
        for init in re.finditer(r"WalkFailures\s*\w*\s*\{([^}]*)\}", code):
            for value in string_values(init.group(1).split(",")[0]):
                add(value + ": %s", "stderr", "%s: WalkFailures read tag" % name)
    for name, text in texts.items():
        for stream in text_streams.get(name) or {"stdout"}:
            add(text, stream, "texts.h: " + name)
    return lines


# --- The page's side ----------------------------------------------------------------------

class Page(html.parser.HTMLParser):
    """Collects, from mandoc's HTML, the list tags per section with the stream their
    description names, and the lines of the example blocks per section."""

    def __init__(self):
        super().__init__(convert_charrefs=True)
        self.section = None
        self.tags = []  # (section, line, stream or None)
        self.blocks = []  # (section, text)
        self.tag = None  # the tag being read, as a list of parts
        self.italic = 0
        self.block = None
        self.waiting = []  # tags whose description has not started yet
        self.description = None  # text seen so far in the current description

    def handle_starttag(self, tag, attrs):
        if tag == "h1":
            self.section = dict(attrs).get("id")
        elif tag == "dt":
            self.tag = []
        elif tag == "i" and self.tag is not None:
            self.italic += 1
            self.tag.append(VAR)
        elif tag == "pre":
            self.block = []
        elif tag == "dd" and self.waiting:
            self.description = ""

    def handle_endtag(self, tag):
        if tag == "dt":
            self.waiting.append(normal("".join(self.tag)))
            self.tag = None
        elif tag == "i" and self.tag is not None:
            self.italic -= 1
        elif tag == "pre":
            self.blocks.append((self.section, "".join(self.block)))
            self.block = None
        elif tag == "dd" and self.description is not None:
            self.settle()

    def handle_data(self, data):
        if self.tag is not None:
            if not self.italic:
                self.tag.append(data)
        elif self.block is not None:
            self.block.append(data)
        if self.description is not None and self.tag is None:
            self.description += data
            if self.description.strip():
                self.settle()

    def settle(self):
        """The description has begun (or ended empty, as after a .TQ tag)."""
        text = self.description.strip()
        self.description = None
        if not text:
            return
        m = re.match(r"\((stdout|stderr)\)", text)
        for line in self.waiting:
            self.tags.append((self.section, line, m.group(1) if m else None))
        self.waiting = []


def render(mandoc, page):
    result = subprocess.run([mandoc, "-Thtml", page], capture_output=True, text=True, check=True)
    parser = Page()
    parser.feed(result.stdout)
    return parser


def page_lines(parsed):
    """(line, stream) for every text the page shows, and the page's faults."""
    lines, faults = set(), []
    for section, line, stream in parsed.tags:
        if section not in ("DESCRIPTION", "DIAGNOSTICS") or re.fullmatch(r"-?\d+", line):
            continue
        if section == "DIAGNOSTICS" and stream is None:
            faults.append("DIAGNOSTICS: %r does not say its stream, (stdout) or (stderr)"
                          % shown(line))
        lines.add((line, stream or "stdout"))
    for section, text in parsed.blocks:
        if section != "EXAMPLES":
            lines.update((normal(line), "stdout") for line in text.split("\n") if line.strip())
    return lines, faults


def shown(line):
    return line.replace(VAR, "<...>")


def check_texts(args):
    program = program_lines(args.sources)
    page, faults = page_lines(render(args.mandoc, args.page))
    for (line, stream), origin in sorted(program.items()):
        if not any(s == stream and same_text(line, p) for p, s in page):
            faults.append("printed but not on the page: %s %r (%s)" % (stream, shown(line), origin))
    for line, stream in sorted(page):
        if not any(s == stream and same_text(line, p) for p, s in program):
            faults.append("on the page but never printed: %s %r" % (stream, shown(line)))
    print("%d texts in the sources, %d on the page" % (len(program), len(page)))
    for fault in faults:
        print(fault)
    return 1 if faults else 0


# --- The session in EXAMPLES --------------------------------------------------------------

def session(parsed):
    """[(command, expected output)] from the example blocks of EXAMPLES."""
    steps = []
    for section, text in parsed.blocks:
        if section != "EXAMPLES":
            continue
        for line in text.rstrip("\n").split("\n"):
            if line.startswith("# "):
                steps.append([line[2:], []])
            elif line.startswith("> ") and steps and not steps[-1][1]:
                steps[-1][0] += "\n" + line[2:]
            elif steps:
                steps[-1][1].append(line)
    return [(command, "".join(line + "\n" for line in output)) for command, output in steps]


def check_example(args):
    steps = session(render(args.mandoc, args.page))
    show = "cat " + args.hosts_path
    if not steps or steps[0][0] != show:
        print("EXAMPLES must start with %r, which shows the file the session starts from" % show)
        return 1
    with HostsFolder(prefix="hosts-manual-") as folder:
        work = folder.work()
        hosts = os.path.normpath(os.path.join(work, args.program_hosts_path))
        os.makedirs(os.path.dirname(hosts), exist_ok=True)
        folder.write(steps[0][1].encode(), hosts)
        faults = 0
        for command, expected in steps:
            run = command.replace(args.hosts_path, args.program_hosts_path)
            run = re.sub(r"(?<![\w/.-])hosts-manager(?![\w.-])", args.program, run)
            result = subprocess.run(["sh", "-c", run], cwd=work, capture_output=True, timeout=60)
            seen = result.stdout.decode("utf-8", "replace")
            if seen != expected or result.stderr:
                faults += 1
                print("$ %s\nexpected:\n%sprinted:\n%s%s" % (
                    run, expected, seen, result.stderr.decode("utf-8", "replace")))
        print("%d commands of EXAMPLES run, %d printed otherwise" % (len(steps), faults))
        return 1 if faults else 0


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    parser.add_argument("what", choices=("texts", "example"))
    for option in ("mandoc", "page", "sources", "program", "hosts-path", "program-hosts-path"):
        parser.add_argument("--" + option, required=option in ("mandoc", "page"))
    args = parser.parse_args()
    return check_texts(args) if args.what == "texts" else check_example(args)


if __name__ == "__main__":
    sys.exit(main())
