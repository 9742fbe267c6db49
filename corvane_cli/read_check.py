"""The one check of a read dict that `basecall` (which fails such a read
alone) and `convert` (which refuses the row) share: what a read must hold
to be basecalled and written as a FASTQ or SAM record. The library checks
what a client takes, read names and tag texts among it; this program adds
that the signal must be there and its scale usable."""

from __future__ import annotations

import math
from functools import cache
from typing import TYPE_CHECKING

from corvane_cli.read_types import InputRead

if TYPE_CHECKING:
    import tavrix


def signal_problem(read: InputRead) -> tuple[str, str] | None:
    """(key, why) for a signal that is missing or whose scale is unusable;
    None otherwise. The part of read_problem that needs no client."""
    for key in ("daq_offset", "daq_scaling", "sampling_rate"):
        value = read.get(key)
        if isinstance(value, float) and not math.isfinite(value):
            return key, f"{key} {value!r} is not a finite number"
    for key in ("daq_scaling", "sampling_rate"):
        value = read.get(key)
        if isinstance(value, float) and value <= 0:
            return key, f"{key} {value!r} is not above 0"
    samples = read.get("raw_data")
    if samples is not None and hasattr(samples, "__len__") and len(samples) == 0:
        return "raw_data", "no samples"
    return None


@cache
def offline_client() -> tavrix.Corvane:
    """A client never connected, for checking reads where no server is at
    hand: it holds them to the rules of a client without duplex calling."""
    import tavrix

    return tavrix.Corvane("", "", 1)


def read_problem(read: InputRead, client: tavrix.Corvane | None = None) -> tuple[str, str] | None:
    """(key, why) for the first thing that keeps a read from being called,
    None when nothing does; the key is "" where the library's check names
    what is wrong itself. `client` checks as it would take the read."""
    problem = signal_problem(read)
    if problem is not None:
        return problem
    why = (client or offline_client()).validate_read(read)
    return ("", why) if why else None
