"""Argument errors that help: each names its own command's usage and, for a
mistyped command or option, the nearest one there is."""

from __future__ import annotations

import argparse
import difflib
import os
import re
import sys
from typing import List, Mapping, NoReturn, Optional, Sequence

_CHOICE = re.compile(r"invalid choice: '([^']*)'")


def nearest(word: str, known: Sequence[str]) -> Optional[str]:
    """The known word closest to word, if any is close enough to be a typo of it."""
    found = difflib.get_close_matches(word, known, n=1, cutoff=0.6)
    return found[0] if found else None


def option_strings(ap: argparse.ArgumentParser) -> List[str]:
    return [o for action in ap._actions for o in action.option_strings if o.startswith("--")]


class Parser(argparse.ArgumentParser):
    """argparse's parser, whose error on a mistyped command adds the nearest command."""

    commands: Mapping[str, argparse.ArgumentParser] = {}

    def error(self, message: str) -> NoReturn:
        m = _CHOICE.search(message)
        if m:
            choices = [c for action in self._actions if action.choices for c in action.choices]
            near = nearest(m.group(1), [str(c) for c in choices])
            if near:
                message += f"; did you mean '{near}'?"
        super().error(message)


def unrecognized(ap: argparse.ArgumentParser, extra: Sequence[str]) -> NoReturn:
    """What parse_known_args left over, as an error of the command it was given to
    (whose usage is printed), with the nearest option to each mistyped one."""
    hints = []
    for word in extra:
        if word.startswith("--"):
            near = nearest(word.split("=", 1)[0], option_strings(ap))
            if near:
                hints.append(f"{word.split('=', 1)[0]}: did you mean {near}?")
    ap.error(f"unrecognized arguments: {' '.join(extra)}" + (f" ({'; '.join(hints)})" if hints else ""))


def program(package: str, script: str) -> str:
    """The name the tool was run by: its console script, or python -m PACKAGE."""
    name = os.path.basename(sys.argv[0]) if sys.argv and sys.argv[0] else ""
    return f"python -m {package}" if name in ("", "__main__.py", "-c") else (name if name == script else script)
