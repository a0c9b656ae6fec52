# The package's version: the Vexan project version of the top-level
# CMakeLists.txt, which writes this file when it configures (edit it there).
# pyproject.toml reads it from here.
__version__ = "2.0.3"
