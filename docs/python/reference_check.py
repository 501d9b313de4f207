"""Sphinx extension of the package's reference: the docstrings' conventions, and a check
that the reference covers the package's public names.

Docstrings are written for ``help()``: plain text, Google-style sections (Args:,
Attributes:, Returns:), code examples as indented blocks after a paragraph. reStructuredText
needs ``::`` before such a block; ``literal_blocks`` adds it, so an example reads the same
in ``help()`` and here. Everything else must be valid reStructuredText (the build treats
warnings as errors).

Every name in ``qmd5820.__all__`` must be documented as ``qmd5820.<name>`` (the reference
is of what users import); a missing one is a warning, so the build fails and names it.
"""
from __future__ import annotations

import re

from sphinx.util import logging

logger = logging.getLogger(__name__)

# Napoleon's section headers: an indented block after one of these is the section's body.
_SECTION = re.compile(r"^\s*(Args|Arguments|Attributes|Example|Examples|Keyword Args|"
                      r"Methods|Note|Notes|Other Parameters|Parameters|Raises|Returns|"
                      r"See Also|Todo|Warning|Warnings|Yields)\s*:\s*$")


def _indent(line: str) -> int:
    return len(line) - len(line.lstrip())


_NOT_PROSE = re.compile(r"^(\.\. |:|[-*+] |\d+[.)] |>>>)")


def literal_blocks(app, what, name, obj, options, lines: list[str]) -> None:
    """Turns an indented block after a blank line into a literal block when the text above
    it is a plain paragraph: that paragraph gets a final ``::``. Paragraphs that end with
    ``::`` already, section headers, directives, fields and list items are left alone."""
    i = 1
    while i < len(lines):
        if not (lines[i].strip() and not lines[i - 1].strip()):
            i += 1
            continue
        last = i - 1
        while last >= 0 and not lines[last].strip():
            last -= 1
        first = last
        while first > 0 and lines[first - 1].strip():
            first -= 1
        if last < 0 or _indent(lines[i]) <= _indent(lines[last]):
            i += 1
            continue
        text = lines[last].rstrip()
        if text.endswith("::") or _SECTION.match(text) or \
                _NOT_PROSE.match(lines[first].lstrip()):
            i += 1
            continue
        lines[last] = text + (":" if text.endswith(":") else " ::")
        block = _indent(lines[i])
        while i < len(lines) and (not lines[i].strip() or _indent(lines[i]) >= block):
            i += 1


def check_public_names(app, env) -> None:
    import qmd5820

    documented = set(env.get_domain("py").objects)
    for name in qmd5820.__all__:
        if f"qmd5820.{name}" not in documented:
            logger.warning("qmd5820.%s is public (qmd5820.__all__) but not in the reference: "
                           "add it to docs/python/api.rst", name)


def setup(app):
    # Before napoleon (priority 500): the raw docstring, sections not yet rewritten.
    app.connect("autodoc-process-docstring", literal_blocks, priority=400)
    app.connect("env-check-consistency", check_public_names)
    return {"parallel_read_safe": True, "parallel_write_safe": True}
