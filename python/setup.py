"""A wheel that carries the board library (qmd5820/_lib/) is platform-specific, but not tied
to a Python version or ABI (ctypes only): py3-none-<platform>."""
from pathlib import Path

from setuptools import setup
from setuptools.dist import Distribution

BUNDLES_LIBRARY = any((Path(__file__).parent / "qmd5820" / "_lib").glob("*"))
cmdclass = {}
try:
    from wheel.bdist_wheel import bdist_wheel

    class _BdistWheel(bdist_wheel):
        def get_tag(self):
            python, abi, platform = super().get_tag()
            return ("py3", "none", platform) if BUNDLES_LIBRARY else (python, abi, platform)

    cmdclass["bdist_wheel"] = _BdistWheel
except ImportError:  # building a wheel needs `wheel`; installing from the tree does not
    pass


class _Distribution(Distribution):
    def has_ext_modules(self) -> bool:  # platform tag when the library is bundled
        return BUNDLES_LIBRARY


setup(distclass=_Distribution, cmdclass=cmdclass)
