#!/usr/bin/env python3
"""Checks that the end-to-end rig ends hangs instead of waiting for ever.

Runs three made-up scenarios through e2e.py's own loop on the real program:
one whose driver command outlives its deadline once (reported, run again,
passes), one that outlives the scenario limit (Wine ended, fails), and one
after them (a fresh driver works). Exit status 0 when the rig behaved so.
"""
import contextlib
import io
import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import e2e  # noqa: E402


def main():
    if len(sys.argv) != 3:
        sys.exit("usage: rigcheck.py Pelmora.exe pelmora-cli")
    runs = []

    def t_hangs_once(s, ctx):
        runs.append("hangs-once")
        s.start(ctx.exe)
        if runs.count("hangs-once") == 1:
            s.grace = 2
            try:
                s("sleep", "6000ms")  # not a number: the deadline is the grace alone
            finally:
                s.grace = 60
        s("rect")

    def t_overdue(s, ctx):
        s.start(ctx.exe)
        s("sleep", 30000)

    def t_after(s, ctx):
        s.start(ctx.exe)
        s("rect")

    e2e.SCENARIO_LIMIT = 20  # a busy machine takes seconds to start Wine and the program
    e2e.SCENARIOS[:] = [("hangs-once", t_hangs_once), ("overdue", t_overdue), ("after", t_after)]
    sys.argv = ["e2e.py"] + sys.argv[1:]
    out = io.StringIO()
    with contextlib.redirect_stdout(out):
        status = e2e.main()
    lines = out.getvalue().splitlines()
    expected = [
        ("ok hangs-once", runs.count("hangs-once") == 2),
        ("FAIL overdue: Wine was ended: the scenario ran past 20 s", True),
        ("ok after", True),
        ("1 failed", status == 1),
    ]
    problems = [text for text, holds in expected if not holds or not any(text in line for line in lines)]
    if not any("(the program answered)" in line for line in lines):
        problems.append("no hang report naming the program's answer")
    for text in problems:
        print("FAIL rig-check: expected %r" % text)
    if problems:
        print("\n".join(lines))
        return 1
    print("ok rig-check: a hung command is reported and run again, an overdue scenario is ended")
    return 0


if __name__ == "__main__":
    sys.exit(main())
