"""The server's table of error statuses (tirn/http/error_statuses.def), read line by line: the
status each standard error is answered with, the status of any other error, and the refusals
the transport answers before a call reaches its operation."""

import os
import re
from dataclasses import dataclass
from typing import Dict, List

from .model import DescriptionError

STATUS_TABLE = "error_statuses.def"


@dataclass
class Refusal:
    status: int
    error: str
    operations: bool


@dataclass
class StatusTable:
    """The server's error statuses, as error_statuses.def gives them."""
    statuses: Dict[str, int]
    other: int
    refusals: List[Refusal]

    def status(self, name):
        return self.statuses.get(name, self.other)


STATUS_LINES = [
    ("TIRN_ERROR_STATUS", re.compile(r'TIRN_ERROR_STATUS\("([a-z0-9_.]+)", *([1-5][0-9][0-9])\)$')),
    ("TIRN_OTHER_ERROR_STATUS", re.compile(r"TIRN_OTHER_ERROR_STATUS\(([1-5][0-9][0-9])\)$")),
    ("TIRN_REFUSAL_STATUS", re.compile(
        r'TIRN_REFUSAL_STATUS\([A-Za-z]+, *([1-5][0-9][0-9]), *"([a-z0-9_.]+)", *([01])\)$')),
]


def default_status_table():
    """The table beside the installed generator, or in the source tree it comes from."""
    here = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    for candidate in (os.path.join(here, STATUS_TABLE),
                      os.path.join(here, "..", "tirn", "http", STATUS_TABLE)):
        if os.path.exists(candidate):
            return candidate
    return os.path.join(here, STATUS_TABLE)


def read_status_table(path):
    try:
        with open(path, encoding="utf-8") as handle:
            lines = handle.read().splitlines()
    except OSError as error:
        raise DescriptionError(path, 1, f"cannot read the table of error statuses: "
                                        f"{error.strerror}")
    statuses, other, refusals = {}, None, []
    for number, line in enumerate(lines, start=1):
        text = line.strip()
        if not text.startswith("TIRN_"):
            continue
        for macro, pattern in STATUS_LINES:
            if text.startswith(macro + "("):
                match = pattern.match(text)
                break
        else:
            match = None
        if match is None:
            raise DescriptionError(path, number, f"cannot read the status line '{text}'")
        if macro == "TIRN_ERROR_STATUS":
            if match.group(1) in statuses:
                raise DescriptionError(path, number, f"'{match.group(1)}' has two statuses")
            statuses[match.group(1)] = int(match.group(2))
        elif macro == "TIRN_OTHER_ERROR_STATUS":
            other = int(match.group(1))
        else:
            refusals.append(Refusal(int(match.group(1)), match.group(2), match.group(3) == "1"))
    if other is None:
        raise DescriptionError(path, len(lines), "the table gives no TIRN_OTHER_ERROR_STATUS")
    return StatusTable(statuses, other, refusals)
