#!/usr/bin/env python3
"""The man page against the tool it documents.

Fails when the page (docs/qmd5820.1):
- lacks a section a user looks for (NAME, SYNOPSIS, DESCRIPTION, COMMANDS, OPTIONS,
  ENVIRONMENT, FILES, EXIT STATUS, EXAMPLES, SEE ALSO), or groff warns about it;
- does not describe a command that `qmd5820 --help` lists, or a subcommand or option that
  any command's own --help lists;
- does not name, under ENVIRONMENT, a variable the library or the tool reads (every
  getenv in src/, sim/ and tools/, except the test builds' own);
- says another version than the project's.

Usage: check_man_page.py --tool QMD5820 --page docs/qmd5820.1 --source REPO --version V
"""
from __future__ import annotations

import argparse
import os
import re
import shutil
import subprocess
import sys
from pathlib import Path

SECTIONS = ["NAME", "SYNOPSIS", "DESCRIPTION", "COMMANDS", "OPTIONS", "ENVIRONMENT", "FILES",
            "EXIT STATUS", "EXAMPLES", "SEE ALSO"]
# Read only by builds made for the test suite (QMD5820_RECORD_CODES).
TEST_ONLY_VARIABLES = {"QMD5820_RECORDED_CODES"}
TAG = 7  # columns before the tag of a .TP entry in groff's -man output
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*)")


def run_help(tool: str, *args: str) -> str | None:
    r = subprocess.run([tool, *args, "--help"], capture_output=True, text=True, timeout=30)
    return r.stdout if r.returncode == 0 else None


def commands_and_options(tool: str) -> tuple[set[str], set[str], set[tuple[str, str]]]:
    """Commands of the top-level help, and every option and subcommand of every help."""
    top = run_help(tool)
    if top is None:
        raise SystemExit("qmd5820 --help failed")
    commands, options, subcommands = set(), set(OPTION.findall(top)), set()
    for line in top.splitlines():
        m = re.match(r"^  ([a-z]+)\b", line)
        if m:
            commands.add(m.group(1))
    for command in sorted(commands):
        text = run_help(tool, command)
        if text is None:
            raise SystemExit(f"qmd5820 {command} --help failed")
        options |= set(OPTION.findall(text))
        subs = re.search(r"^Subcommands:\n((?:  \S.*\n?)+)", text, re.M)
        for sub in re.findall(r"^  (\S+)", subs.group(1), re.M) if subs else []:
            subcommands.add((command, sub))
            # a subcommand after the board (db 0 add) or straight after the command (sim reset)
            sub_text = run_help(tool, command, "0", sub) or run_help(tool, command, sub)
            if sub_text is None:
                raise SystemExit(f"qmd5820 {command} ... {sub} --help failed")
            options |= set(OPTION.findall(sub_text))
    options.discard("--help")  # documented as -h, --help; checked below like any other
    options.add("--help")
    return commands, options, subcommands


def environment_variables(source: Path) -> set[str]:
    names = set()
    for folder in ("src", "sim", "tools"):
        for path in (source / folder).rglob("*"):
            if path.suffix in (".cpp", ".h", ".hpp", ".c"):
                names |= set(re.findall(r"getenv\(\s*\"(\w+)\"", path.read_text(errors="replace")))
    return names - TEST_ONLY_VARIABLES


def render(page: Path) -> tuple[str, str]:
    """The page as plain text, and groff's warnings."""
    groff = shutil.which("groff")
    if groff is None:
        print("groff is not installed (apt install groff-base): the page was not checked")
        sys.exit(77)
    env = dict(os.environ, LC_ALL="C")
    warnings = subprocess.run([groff, "-man", "-ww", "-z", str(page)], capture_output=True,
                              text=True, env=env).stderr
    text = subprocess.run([groff, "-man", "-Tascii", "-P-cbou", str(page)], capture_output=True,
                          text=True, env=env, check=True).stdout
    # join hyphenated line breaks and lines, so phrases can be searched whole
    text = re.sub(r"-\n\s+", "-", text)
    return text, warnings


def section(text: str, name: str) -> str:
    m = re.search(rf"^{re.escape(name)}\n(.*?)(?=^[A-Z][A-Z ]+\n|\Z)", text, re.M | re.S)
    return m.group(1) if m else ""


def main() -> int:
    p = argparse.ArgumentParser()
    p.add_argument("--tool", required=True)
    p.add_argument("--page", required=True, type=Path)
    p.add_argument("--source", required=True, type=Path)
    p.add_argument("--version", required=True)
    a = p.parse_args()

    text, warnings = render(a.page)
    problems = []
    if warnings.strip():
        problems.append(f"groff warns:\n{warnings}")
    for name in SECTIONS:
        if not re.search(rf"^{re.escape(name)}$", text, re.M):
            problems.append(f"no {name} section")

    commands, options, subcommands = commands_and_options(a.tool)
    described = section(text, "COMMANDS")
    for command in sorted(commands):
        # a command is described by an entry whose tag (at the sections' indent of 7
        # columns; descriptions are indented further) starts with its name
        if not re.search(rf"^ {{{TAG}}}{command}\b", described, re.M):
            problems.append(f"command '{command}' is not described under COMMANDS")
    for command, sub in sorted(subcommands):
        if not re.search(rf"^ {{{TAG}}}{command}\b[^\n]*\b{re.escape(sub)}\b", described, re.M):
            problems.append(f"'{command} {sub}' is not described under COMMANDS")
    flat = re.sub(r"\s+", " ", text)
    for option in sorted(options):
        if option not in flat:
            problems.append(f"option {option} is not in the page")

    environment = section(text, "ENVIRONMENT")
    for name in sorted(environment_variables(a.source)):
        if not re.search(rf"^ {{{TAG}}}{name}\b", environment, re.M):
            problems.append(f"environment variable {name} (read by the code) is not under ENVIRONMENT")

    title = a.page.read_text().split("\n.TH ", 1)[-1].splitlines()[0]
    if f"\"QMD5820 {a.version}\"" not in title:
        problems.append(f"the page's title line says {title!r}; the project's version is {a.version}")

    for problem in problems:
        print(f"man page: {problem}")
    print(f"checked {len(commands)} commands, {len(subcommands)} subcommands, {len(options)} options"
          f" and {len(environment_variables(a.source))} environment variables")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
