#!/usr/bin/env python3
"""Links between the Markdown documents: every relative link of README.md,
CONTRIBUTING.md, CHANGELOG.md, docs/*.md (but docs/mainpage.md, a Doxygen page whose links
point into the generated HTML) and examples/README.md must name a file or directory of the
repository, and a #fragment must name a heading of the target (GitHub's
anchors: lower case, punctuation dropped, spaces to hyphens).

Usage: check_doc_links.py REPOSITORY
"""
import re
import sys
from pathlib import Path

LINK = re.compile(r"(?<!!)\[[^\]]*\]\(([^)\s]+)\)")


def anchors(path: Path) -> set[str]:
    text = re.sub(r"```.*?```", "", path.read_text(encoding="utf-8"), flags=re.S)
    names = set()
    for heading in re.findall(r"^#+\s+(.+?)\s*$", text, re.M):
        slug = re.sub(r"[^\w\- ]", "", heading.lower().replace("`", "")).replace(" ", "-")
        names.add(slug)
    return names


def main() -> int:
    root = Path(sys.argv[1]).resolve()
    documents = [root / "README.md", root / "CONTRIBUTING.md", root / "CHANGELOG.md",
                 root / "examples" / "README.md",
                 *sorted(p for p in (root / "docs").glob("*.md") if p.name != "mainpage.md")]
    problems, count = [], 0
    for document in documents:
        text = re.sub(r"```.*?```", "", document.read_text(encoding="utf-8"), flags=re.S)
        for target in LINK.findall(text):
            if re.match(r"[a-z]+:", target):  # http:, https:, mailto:
                continue
            count += 1
            file_part, _, fragment = target.partition("#")
            resolved = (document.parent / file_part).resolve() if file_part else document
            where = f"{document.relative_to(root)}: link {target}"
            if not resolved.exists():
                problems.append(f"{where}: no such file")
            elif fragment and resolved.suffix == ".md" and fragment not in anchors(resolved):
                problems.append(f"{where}: no heading '{fragment}' in {resolved.relative_to(root)}")
    for p in problems:
        print(p)
    print(f"checked {count} links in {len(documents)} documents")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
