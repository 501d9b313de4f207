# Sphinx configuration of the Python package's reference (docs/python), built from the
# docstrings of python/qmd5820 by `cmake --build --preset default --target python-docs`
# (HTML in build/<preset>/docs/python/html); ctest's python_docs builds it with warnings
# as errors.
#
# The package is imported, so the library must be loadable: the CMake target and the test
# set QMD5820_LIBRARY (qmd5820.sim loads the library when it is imported) and
# QMD5820_SIM_STATE=off. By hand, from the repository root:
#   QMD5820_LIBRARY=build/default/src/libQMD5820.so QMD5820_SIM_STATE=off \
#     PYTHONPATH=python /usr/bin/python3 -m sphinx -W -b html docs/python /tmp/qmd5820-html
import os
import re
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "python"))
sys.path.insert(0, HERE)

import qmd5820  # noqa: E402  (the package documented, from python/)

project = "qmd5820"
author = "QMD5820 board library"
copyright = "QMD5820 board library"
release = qmd5820.__version__
version = release

extensions = ["sphinx.ext.autodoc", "sphinx.ext.napoleon", "reference_check"]
root_doc = "index"
exclude_patterns = ["_build"]
html_theme = "alabaster"
html_static_path = []

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "undoc-members": True, "show-inheritance": True}
napoleon_google_docstring = True
napoleon_numpy_docstring = False
napoleon_use_ivar = True
