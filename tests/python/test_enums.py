"""The four enumerations nested in Corvane."""

import pytest

import tavrix

C = tavrix.Corvane

MEMBERS = {
    "status": [
        "disconnected",
        "preparing_connection",
        "loading_config",
        "loading_alignment_index",
        "loading_bed_file",
        "connecting",
        "connected",
        "error_state",
    ],
    "result": [
        "success",
        "no_connection",
        "already_connected",
        "not_ready",
        "timed_out",
        "invalid_response",
        "basecall_config_unavailable",
        "barcode_kit_unavailable",
        "align_index_unavailable",
        "bed_file_unavailable",
        "file_load_timeout",
        "failed",
        "bad_request",
        "bad_reply",
        "invalid_aligner_options",
    ],
    "pass_read_result": ["read_accepted", "not_accepting_reads", "queue_full", "bad_read"],
    "read_priority": ["high_priority", "medium_priority", "low_priority"],
}


@pytest.mark.parametrize("enum_name, names", MEMBERS.items())
def test_members_and_values(enum_name, names):
    enum = getattr(C, enum_name)
    assert list(enum.__members__) == names
    for value, name in enumerate(names):
        member = getattr(enum, name)
        assert int(member) == value and enum(value) == member
        assert getattr(C, name) is member or getattr(C, name) == member
        assert f"  {name} : " in enum.__doc__  # every member has its docstring


def test_enum_texts():
    assert repr(C.error_state) == "<status.error_state: 7>"
    assert C.status.__doc__.startswith("Connection status of a client.")
    assert "error_state : The connection failed; see get_error_message()." in C.status.__doc__
