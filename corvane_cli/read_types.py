"""The shapes reads take in the program."""

from __future__ import annotations

from collections.abc import Callable
from typing import TYPE_CHECKING, Any, TypeAlias

if TYPE_CHECKING:
    from tavrix import ReadDict as CalledRead
else:
    CalledRead = dict  # the stub's TypedDict; a plain dict at run time

# A read as pass_reads takes it: read_tag, raw_data, read_id and the rest.
InputRead: TypeAlias = dict[str, Any]
# The reads a client returns for one read passed: one, or the whole read
# and its pieces when the server split it.
Group: TypeAlias = list[CalledRead]
# What is handed each group as it comes back: the read id passed, and the group.
OnResults: TypeAlias = Callable[[str, Group], None]
