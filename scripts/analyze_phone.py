#!/usr/bin/env python3
"""Runs the clang static analyzer over the phone binding's Objective-C++ with the phone build's
own flags (from its compile_commands.json).

Usage: analyze_phone.py [BUILD_FOLDER]   (default build/phone, made by scripts/phone.sh)

Prints each finding and exits 1 when there is one.
"""
import json
import shlex
import subprocess
import sys
from pathlib import Path


def analyzer_command(entry):
    args = shlex.split(entry["command"]) if "command" in entry else list(entry["arguments"])
    kept, skip = [], False
    for a in args:
        if skip:
            skip = False
        elif a == "-o":
            skip = True
        elif a != "-c":
            kept.append(a)
    return kept + ["--analyze", "-Xclang", "-analyzer-output=text", "-o", "/dev/null"]


def main():
    build = Path(sys.argv[1] if len(sys.argv) > 1 else "build/phone")
    entries = json.loads((build / "compile_commands.json").read_text())
    findings = 0
    for entry in entries:
        if not entry["file"].endswith(".mm"):
            continue
        run = subprocess.run(analyzer_command(entry), cwd=entry["directory"],
                             capture_output=True, text=True)
        warnings = [l for l in run.stderr.splitlines() if ": warning: " in l or ": error: " in l]
        findings += len(warnings)
        print(f"{len(warnings)} finding(s)  {entry['file']}")
        for line in warnings:
            print(f"    {line}")
    print(f"{findings} finding(s) in all")
    return 1 if findings else 0


if __name__ == "__main__":
    sys.exit(main())
