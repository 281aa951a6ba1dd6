"""The program's texts, read from hosts/texts.h: each declaration's readable text, which the
quoted comment lines just above it give (texts_test.cpp checks that the escapes are their GBK
bytes), and the result codes that the headers in hosts/ name, for its "TAG err: CODE" lines."""

import glob
import os
import re

SOURCES = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hosts")
HEADER = os.path.join(SOURCES, "texts.h")

_COMMENT = re.compile(r'^// "(.*)"$')
_DECLARATION = re.compile(r"^inline constexpr char (\w+)\[\]")
# An enumerator on a line of its own, "    name = -N,", or a constant "inline constexpr int name
# = -N;"; a whole enum on one line holds several "name = -N".
_CODE = re.compile(r"^\s*(?:inline constexpr int )?(\w+) = (-?\d+)[,;]")
_ENUMERATOR = re.compile(r"(\w+) = (-?\d+)")


def _unquote(quoted):
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), quoted)


def load(header=HEADER, encoding="gbk"):
    """Every text by name, as bytes in `encoding` (GBK, as the program prints them), or as str."""
    texts, readable = {}, ""
    with open(header, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            comment, declaration = _COMMENT.match(line), _DECLARATION.match(line)
            if comment:
                readable += _unquote(comment.group(1))
            elif declaration:
                texts[declaration.group(1)] = readable.encode(encoding) if encoding else readable
                readable = ""
            else:
                readable = ""
    return texts


def prompts(texts):
    """What the program prints before it reads a line, from `load()`'s texts: the menu with
    main.cpp's own "cmd:" after it, and the prompts of commands 2 and 4 after the format hint."""
    hinted = (texts["format_hint"] + texts[name] for name in ("add_prompt", "delete_prompt"))
    return (texts["menu"] + b"cmd:", *hinted)


def filled(text, request):
    """A printf-format text (added, deleted, write_missing, ...) with `request` for its "%s"."""
    return text.replace(b"%s", request, 1)


def successes(texts):
    """What each command's success text prints after its request: add, delete, backup, restore."""
    names = ("added", "deleted", "backed_up", "restored")
    return tuple(texts[name].split(b"%s")[-1] for name in names)


def err_line(tag, code):
    """The line the program prints when the call `tag` failed with `code`."""
    return f"{tag} err: {code}\n".encode()


def _codes_in(line):
    if line.startswith("enum "):
        return _ENUMERATOR.findall(line)
    code = _CODE.match(line)
    return [code.groups()] if code else []


def codes(sources=SOURCES):
    """Every result code the headers in `sources` name, by its name."""
    found = {}
    for header in sorted(glob.glob(os.path.join(sources, "*.h"))):
        with open(header, encoding="utf-8") as f:
            for line in f:
                found.update((name, int(value)) for name, value in _codes_in(line))
    return found
