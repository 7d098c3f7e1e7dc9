"""Which core library c_sdk loads, found the way the dynamic loader finds it.

The module needs ``zadiv3-e.so`` by file name. The loader looks in the
folders of ``LD_LIBRARY_PATH``, then in those of the module's RUNPATH:
``$ORIGIN`` (the module's own folder, where a real core goes) first, then
the stand-in's folder inside this package."""

import importlib.util
import os
import sys
from dataclasses import dataclass
from typing import List, Optional

from . import _elf

#: The file name the module needs the core library by.
CORE_FILE = "zadiv3-e.so"


@dataclass(frozen=True)
class Resolution:
    """The core a fresh process would load: ``path`` (None when none is
    found), the folder entry that found it (``via``), and whether it is the
    stand-in."""

    module: str
    path: Optional[str]
    via: str
    is_standin: bool


def module_path() -> str:
    """The c_sdk module's file, without importing it (which needs ``qv``)."""
    loaded = sys.modules.get("c_sdk")
    origin = getattr(loaded, "__file__", None) if loaded is not None else None
    if origin is None:
        spec = importlib.util.find_spec("c_sdk")
        origin = spec.origin if spec is not None else None
    if origin is None:
        raise ImportError("c_sdk is not installed: no core library to look for")
    return os.path.abspath(origin)


def is_standin(path: str) -> bool:
    """Whether a library file is the stand-in: it has the control functions."""
    with open(path, "rb") as f:
        return b"\0standin_ask\0" in f.read()


def search_path(module: str) -> List[str]:
    """The folders the loader searches for the module's core, in order."""
    origin = os.path.dirname(module)
    folders = [p for p in os.environ.get("LD_LIBRARY_PATH", "").split(":") if p]
    for entry in _elf.runpath(module):
        folders.append(entry.replace("${ORIGIN}", origin).replace("$ORIGIN", origin))
    return folders


def resolve(module: Optional[str] = None) -> Resolution:
    """The core library a fresh process importing c_sdk would load."""
    module = module or module_path()
    for folder in search_path(module):
        candidate = os.path.join(folder, CORE_FILE)
        if os.path.isfile(candidate):
            path = os.path.normpath(candidate)
            return Resolution(module, path, folder, is_standin(path))
    return Resolution(module, None, "", False)
