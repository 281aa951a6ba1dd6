#!/usr/bin/env python3
"""Prints each test the last ctest run skipped, with the reason it gave in its own output, which
the JUnit report keeps (ctest shows only "***Skipped"). Run after the tests (CTestCustom.cmake).
"""
import sys
import xml.etree.ElementTree as ET

# Lines of GoogleTest's own frame around a skipped test, which say nothing about why.
FRAME = ("[", "Running main() from", "Note: Google Test filter")


def reason(case):
    """The lines of a skipped test's output that give its reason, else ctest's own note."""
    out = case.findtext("system-out") or ""
    lines = [line.strip() for line in out.splitlines()]
    lines = [line for line in lines
             if line and not line.startswith(FRAME) and not line.endswith(": Skipped")]
    # A scenario run in a child process reports its skip there and again in the test itself.
    lines = list(dict.fromkeys(lines))
    if lines:
        return " / ".join(lines)
    return case.find("skipped").get("message", "no reason given")


def main(report):
    try:
        cases = ET.parse(report).getroot().iter("testcase")
    except (OSError, ET.ParseError):
        return 0
    skipped = [case for case in cases if case.find("skipped") is not None]
    if skipped:
        print(f"\n{len(skipped)} test(s) skipped:")
    for case in skipped:
        print(f"  {case.get('name')}: {reason(case)}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
