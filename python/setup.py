"""A wheel that carries the board library (qmd5820/_lib/) is platform-specific."""
from pathlib import Path

from setuptools import setup
from setuptools.dist import Distribution


class _Distribution(Distribution):
    def has_ext_modules(self) -> bool:  # tags the wheel with the platform when it bundles
        return any((Path(__file__).parent / "qmd5820" / "_lib").glob("*"))


setup(distclass=_Distribution)
