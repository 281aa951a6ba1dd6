"""The program's texts, read from hosts/texts.h: each declaration's readable text, which the
quoted comment lines just above it give (texts_test.cpp checks that the escapes are their GBK
bytes). `load()` returns them by name, as the GBK bytes the program prints."""

import os
import re

HEADER = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "hosts", "texts.h")

_COMMENT = re.compile(r'^// "(.*)"$')
_DECLARATION = re.compile(r"^inline constexpr char (\w+)\[\]")


def _unquote(quoted):
    return re.sub(r"\\(.)", lambda m: "\n" if m.group(1) == "n" else m.group(1), quoted)


def load(header=HEADER):
    texts, readable = {}, ""
    with open(header, encoding="utf-8") as f:
        for line in f:
            line = line.rstrip("\n")
            comment, declaration = _COMMENT.match(line), _DECLARATION.match(line)
            if comment:
                readable += _unquote(comment.group(1))
            elif declaration:
                texts[declaration.group(1)] = readable.encode("gbk")
                readable = ""
            else:
                readable = ""
    return texts
