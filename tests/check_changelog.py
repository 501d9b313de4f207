#!/usr/bin/env python3
"""CHANGELOG.md: one section per version, newest first, under "## <version>" headings; at
most one "## Unreleased" section, at the top; no released version above the project's
(a release is the version at the top of CMakeLists.txt).

Usage: check_changelog.py CHANGELOG.md PROJECT_VERSION
"""
import re
import sys


def key(version: str) -> tuple[int, ...]:
    return tuple(int(part) for part in version.split("."))


def main() -> int:
    path, project = sys.argv[1], sys.argv[2]
    headings = re.findall(r"^## (.+?)\s*$", open(path, encoding="utf-8").read(), re.M)
    problems = []
    versions = []
    for i, heading in enumerate(headings):
        if heading == "Unreleased":
            if i != 0:
                problems.append("'Unreleased' must be the first section")
            continue
        m = re.fullmatch(r"(\d+(?:\.\d+){1,3})(?: \(\d{4}-\d{2}-\d{2}\))?", heading)
        if not m:
            problems.append(f"heading '{heading}' is neither 'Unreleased' nor a version "
                            "(optionally with its date, '2026.04.1.0 (2026-04-30)')")
            continue
        versions.append(m.group(1))
    for v in sorted(set(versions)):
        if versions.count(v) > 1:
            problems.append(f"version {v} has {versions.count(v)} sections")
    if versions != sorted(versions, key=key, reverse=True):
        problems.append(f"versions are not newest first: {versions}")
    for v in versions:
        if key(v) > key(project):
            problems.append(f"version {v} is above the project's version {project}")
    for p in problems:
        print(f"{path}: {p}")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
