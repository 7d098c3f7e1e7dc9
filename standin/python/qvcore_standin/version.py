"""The package's version: that of the c_sdk distribution it is installed with
(pyproject.toml says it, once)."""

from importlib.metadata import PackageNotFoundError, version

try:
    __version__ = version("c_sdk")
except PackageNotFoundError:  # imported from a build folder that was never installed (make dev)
    __version__ = "0+unknown"
