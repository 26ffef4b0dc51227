#!/usr/bin/env python3
"""Lists every test that skipped, with the reason it printed, and decides
whether the skips are acceptable.

    report-skips.py [--strict] JUNIT.xml [LOG...]

JUNIT.xml is ctest's --output-junit report; each LOG is the output of a
script that marks what it left out with "SKIPPED: reason" lines (the package
check). Exit status 0 when every skip is acceptable, 1 when one is not, 2 when
the report cannot be read.

A skip is not acceptable when its reason names a missing tool or package:
./test.sh installs everything its tests need first (packaging/build-deps.sh),
so such a skip means an install step is missing, not that the machine lacks
something it may lack. With --strict (the fresh-machine check, run as root on
a machine where everything can be installed) every skip is unacceptable
except those that cannot run as root and those that found the machine too
slow to time what they measure.
"""

import re
import sys
import xml.etree.ElementTree as ET

# The words our tests and scripts use when a tool or package is absent.
MISSING = re.compile(
    r"\bmissing\b|not installed|could not install|is not available|not built|"
    r"cannot be installed|no such (file|program)",
    re.IGNORECASE,
)
# Skips that are right on a root machine: root bypasses file modes.
ROOT_ONLY = re.compile(r"\broot\b", re.IGNORECASE)
# Skips of tests that time real events and found the machine too busy.
TOO_SLOW = re.compile(r"too slow", re.IGNORECASE)

def reason_of(output: str) -> str:
    lines = output.splitlines()
    for i, line in enumerate(lines):
        if re.search(r":\d+: Skipped\s*$", line):
            rest = [l.strip() for l in lines[i + 1:i + 4]
                    if l.strip() and not l.startswith("[")]
            if rest:
                return " ".join(rest)
    for line in lines:
        m = re.match(r"^\s*SKIP(?:PED)?:\s*(.+)$", line)
        if m:
            return m.group(1).strip()
    for line in lines:
        if "SKIP" in line:
            return line.strip()
    return "(no reason printed)"


def junit_skips(path: str):
    root = ET.parse(path).getroot()
    suites = [root] if root.tag == "testsuite" else root.iter("testsuite")
    for suite in suites:
        for case in suite.iter("testcase"):
            skipped = case.find("skipped")
            status = case.get("status", "")
            if skipped is None and status not in ("notrun", "skipped"):
                continue
            out = case.findtext("system-out") or ""
            if skipped is not None:
                out = (skipped.get("message") or "") + "\n" + (skipped.text or "") + "\n" + out
            yield case.get("name", "?"), reason_of(out)


def log_skips(path: str):
    with open(path, encoding="utf-8", errors="replace") as f:
        for line in f:
            m = re.match(r"^\s*(?:===\s*)?(.*?)\bSKIPPED:?\s*(.*?)\s*(?:===)?\s*$", line)
            if m:
                name = path.rsplit("/", 1)[-1].removesuffix(".log").replace("-", " ")
                what = m.group(1).strip() or name
                yield what, m.group(2).strip() or "(no reason printed)"


def main(argv):
    strict = False
    if argv and argv[0] == "--strict":
        strict = True
        argv = argv[1:]
    if not argv:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    try:
        skips = list(junit_skips(argv[0]))
        for log in argv[1:]:
            skips.extend(log_skips(log))
    except (OSError, ET.ParseError) as e:
        print(f"report-skips: cannot read the test report: {e}", file=sys.stderr)
        return 2

    bad = []
    for name, reason in skips:
        if MISSING.search(reason):
            bad.append((name, reason, "a tool or package is missing"))
        elif strict and not (ROOT_ONLY.search(reason) or TOO_SLOW.search(reason)):
            bad.append((name, reason, "it should run on a fresh machine as root"))

    if not skips:
        print("Skipped: none")
        return 0
    print(f"Skipped: {len(skips)}")
    for name, reason in skips:
        print(f"  SKIP {name}: {reason}")
    if bad:
        print(f"{len(bad)} of these skips are failures:")
        for name, reason, why in bad:
            print(f"  FAIL {name}: {why} ({reason})")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
