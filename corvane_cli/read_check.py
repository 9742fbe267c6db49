"""The one check of a read dict that `basecall` (which fails such a read
alone) and `convert` (which refuses the row) share: what a read must hold
to be basecalled and written as a FASTQ or SAM record."""

import math

from corvane_cli.read_text import INT32_MAX, INT32_MIN, read_name_problem

UINT64_MAX = 2**64 - 1


def _finite(value):
    return isinstance(value, (int, float)) and math.isfinite(value)


def read_problem(read):
    """(key, why) for the first thing that keeps a read from being called,
    None when nothing does."""
    read_id = read.get("read_id")
    if not isinstance(read_id, str):
        return "read_id", "read id is not a text"
    problem = read_name_problem(read_id)
    if problem:
        return "read_id", f"read id {problem}"
    if len(read.get("raw_data", ())) == 0:
        return "raw_data", "no samples"
    for key in ("daq_offset", "daq_scaling", "sampling_rate"):
        if not _finite(read.get(key)):
            return key, f"{key} {read.get(key)!r} is not a finite number"
    for key in ("daq_scaling", "sampling_rate"):
        if read[key] <= 0:
            return key, f"{key} {read[key]!r} is not above 0"
    start_time = read.get("start_time", 0)
    if not 0 <= start_time <= UINT64_MAX:
        return "start_time", f"start_time {start_time} is outside 0..{UINT64_MAX}"
    for key in ("channel", "mux"):
        if not INT32_MIN <= read.get(key, 0) <= INT32_MAX:
            return key, f"{key} {read[key]} is outside the 32-bit range"
    return None
