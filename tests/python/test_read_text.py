"""The library's text of called reads through the module: FASTQ header
lines and SAM records of read dicts, and the read check."""

import numpy as np
import pytest
from conftest import collect, simulated_reads, small_read

import tavrix

C = tavrix.Corvane
LIBRARY_ONLY_TAGS = ("MM:Z:", "ML:B:C", "MN:i:")
DEFAULT_TAGS = "\trn:i:0\tns:i:0\tts:i:0\tdx:i:0"
UNKNOWN_GROUP = "\tRG:Z:run_unknown\tDT:Z:unknown\tPU:Z:unknown\tLB:Z:unknown"
# The basecall group with its defaults, as a read with a model stride has it.
BASECALLED = {
    "model_stride": 5,
    "mean_qscore": 0.0,
    "scaling_median": 0.0,
    "scaling_med_abs_dev": 0.0,
    "scaling_version": "",
}
BASECALLED_TAGS = ("\tqs:f:0", "\tsm:f:0\tsd:f:0\tsv:Z:")


def called(metadata=None, sequence="ACGT", qstring="$$$$", **datasets):
    """A read dict as get_completed_reads returns it."""
    listed = {"model_version_id": "", "read_id": "r1", "strand_id": "r1", "run_id": "run", **(metadata or {})}
    return {
        "read_tag": 0,
        "sub_tag": 0,
        "priority": C.medium_priority,
        "metadata": listed,
        "datasets": {"sequence": sequence, "qstring": qstring, **datasets},
    }


MOVES = np.array([1, 0, 130], dtype=np.uint8)


@pytest.mark.parametrize(
    "read, include_moves, expected",
    [
        (called(), False, "@r1" + DEFAULT_TAGS + UNKNOWN_GROUP),
        (
            called({"barcode_arrangement": "unclassified", "barcode_alias": "unclassified"}),
            False,
            "@r1" + DEFAULT_TAGS + "\tRG:Z:run_unknown_unclassified\tDT:Z:unknown\tPU:Z:unknown\tLB:Z:unknown",
        ),
        (
            called(
                {
                    "barcode_arrangement": "barcode02",
                    "barcode_alias": "patient",
                    "model_version_id": "m@1",
                    "gpu_name": "card",
                    "sample_id": "lib",
                    "flow_cell_id": "FC1",
                    "exp_start_time": "t0",
                }
            ),
            False,
            "@r1" + DEFAULT_TAGS + "\tRG:Z:run_m@1_barcode02\tDT:Z:t0\tPU:Z:FC1\tLB:Z:lib\tDS:Z:card\tSM:Z:barcode02"
            "\tal:Z:patient",
        ),
        # A piece of a split read names its parent and where it was split.
        (
            called({"strand_id": "r1_1", "split_point": 400}),
            False,
            "@r1_1\trn:i:0\tns:i:0\tts:i:0\tpi:Z:r1\tsp:i:400\tdx:i:0" + UNKNOWN_GROUP,
        ),
        (
            called(
                {
                    "channel": 7,
                    "mux": 2,
                    "read_number": 9,
                    "duration": 4000,
                    "sampling_rate": 4000.0,
                    "filename": "runs/x/reads.h5",
                    "strand_orientation": "+",
                }
            ),
            False,
            "@r1\tmx:i:2\tch:i:7\trn:i:9\tf5:Z:reads.h5\tns:i:4000\tts:i:0\tdu:f:1\tTS:A:+\tdx:i:0" + UNKNOWN_GROUP,
        ),
        # Text a record cannot hold leaves its tag out.
        (called({"time_stamp": "a\tb", "channel": 7}), False, "@r1\tch:i:7" + DEFAULT_TAGS + UNKNOWN_GROUP),
        (
            called(BASECALLED, movement=MOVES),
            True,
            "@r1"
            + BASECALLED_TAGS[0]
            + "\trn:i:0\tns:i:0\tts:i:0"
            + BASECALLED_TAGS[1]
            + "\tdx:i:0"
            + UNKNOWN_GROUP
            + "\tmv:B:c,5,1,0,127,3",
        ),
        (
            called(BASECALLED, movement=MOVES),
            False,
            "@r1" + BASECALLED_TAGS[0] + "\trn:i:0\tns:i:0\tts:i:0" + BASECALLED_TAGS[1] + "\tdx:i:0" + UNKNOWN_GROUP,
        ),
    ],
)
def test_fastq_header_lines(read, include_moves, expected):
    assert tavrix.fastq_header_line(read, include_move_table=include_moves) == expected


class Name(str):
    pass


@pytest.mark.parametrize("key", [lambda text: "".join(list(text)), Name], ids=["other str", "str subclass"])
def test_metadata_keys_count_by_their_text(key):
    # Keys that are not the module's own objects, in another order, among
    # keys of no metadata, give the same records.
    metadata = {"channel": 7, "mux": 2, "model_version_id": "m@1", "sample_id": "lib", "split_point": 400}
    listed = {key(name): value for name, value in reversed(called(metadata)["metadata"].items())}
    listed.update({key("not_a_key"): 1, "\udc80": 2, 5: 3})
    read = called()
    read["metadata"] = listed
    for function in (tavrix.fastq_header_line, tavrix.sam_records):
        assert function(read) == function(called(metadata))


UNMAPPED = "r1\t4\t*\t0\t0\t*\t*\t0\t0\t"


@pytest.mark.parametrize(
    "read, expected",
    [
        (called(), [UNMAPPED + "ACGT\t$$$$" + DEFAULT_TAGS]),
        (called(sequence="", qstring=""), [UNMAPPED + "*\t*" + DEFAULT_TAGS]),
        (
            called({"duplex_strand_1": "a", "duplex_strand_2": "b", "is_duplex_parent": 0}),
            ["a;b\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t$$$$\trn:i:0\tns:i:0\tts:i:0\tdx:i:1"],
        ),
        (
            called({"strand_id": "r1_1", "split_point": 400}),
            ["r1_1\t4\t*\t0\t0\t*\t*\t0\t0\tACGT\t$$$$\trn:i:0\tns:i:0\tts:i:0\tpi:Z:r1\tsp:i:400\tdx:i:0"],
        ),
        (
            called(BASECALLED, movement=MOVES),
            [
                UNMAPPED
                + "ACGT\t$$$$\tmv:B:c,5,1,0,127,3"
                + BASECALLED_TAGS[0]
                + "\trn:i:0\tns:i:0\tts:i:0"
                + BASECALLED_TAGS[1]
                + "\tdx:i:0"
            ],
        ),
        # Reads with alignments or modified bases carry the records the library
        # built when they were collected.
        (
            called({"alignment_sam_record": "r1\t0\tchr\tA\nr1\t256\tchr\tB"}, align_results=np.zeros(2)),
            ["r1\t0\tchr\tA", "r1\t256\tchr\tB"],
        ),
        (
            called({"alignment_sam_record": "r1\tmodified"}, base_mod_probs=np.zeros((4, 2), dtype=np.uint8)),
            ["r1\tmodified"],
        ),
    ],
)
def test_sam_records(read, expected):
    assert tavrix.sam_records(read) == expected


@pytest.mark.parametrize("function", [tavrix.fastq_header_line, tavrix.sam_records])
@pytest.mark.parametrize(
    "read, error, match",
    [
        (called({"strand_id": "r 1"}), RuntimeError, "ead name holds byte 0x20 at position 1"),
        (called({"strand_id": "@r1"}), RuntimeError, "starts with '@'"),
        (called({"channel": "7"}), TypeError, r'metadata "channel" is not an int'),
        (called({"channel": 2**40}), TypeError, r'metadata "channel" is not an int'),
        (called({"mean_qscore": "high"}), TypeError, r'metadata "mean_qscore" is not a number'),
        (called({"read_id": 5}), TypeError, r'metadata "read_id" is not a str'),
        (called(movement=np.array([1, 2], dtype=np.int32)), TypeError, '"movement" is not a one-dimensional uint8'),
        ({"metadata": {}}, TypeError, r'member "datasets" is not a dict'),
    ],
)
def test_reads_the_library_cannot_write_raise(function, read, error, match):
    with pytest.raises(error, match=match):
        function(read)


@pytest.mark.parametrize(
    "read, match",
    [
        (called(sequence="ACG"), "sequence and qscore do not match size!"),
        (
            called(
                {"alignment_sam_record": "x", "conversion_error": "generate_modbase_string failed: broken"},
                base_mod_probs=np.zeros(1, dtype=np.uint8),
            ),
            "generate_modbase_string failed: broken",
        ),
    ],
)
def test_sam_records_the_library_could_not_build_raise(read, match):
    with pytest.raises(RuntimeError, match=match):
        tavrix.sam_records(read)


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, ""),
        ({"comment": object(), "run_id": ""}, ""),
        ({"read_tag": None}, "no read_tag"),
        ({"start_time": None, "daq_offset": None}, "no daq_offset"),
        ({"read_tag": 2**32}, "read_tag 4294967296 is not an int from 0 to 4294967295"),
        ({"daq_offset": 1}, "daq_offset 1 is not a float"),
        ({"read_id": ""}, "read_id '' is not a str that is not empty"),
        (
            {"raw_data": np.zeros(3, dtype=np.int32)},
            "raw_data of type numpy.ndarray is not a one-dimensional int16 NumPy array",
        ),
        ({"start_time": -1}, "start_time -1 is not an int from 0 to 2^64-1"),
        ({"channel": 2**31}, "channel 2147483648 is not a signed 32-bit int"),
        ({"run_id": b"x" * 60}, "run_id b'" + "x" * 35 + "... is not a str"),
        (
            {"read_id": "r 1"},
            "Invalid data in ReadHolder object: read_id holds byte 0x20 at position 1; a read name takes"
            " printable ASCII without spaces.",
        ),
        (
            {"run_id": "run\t1"},
            "Invalid data in ReadHolder object: run_id holds byte 0x09 at position 3; SAM and FASTQ text takes"
            " printable ASCII and spaces.",
        ),
        ({"sampling_rate": 0.0}, "Missing data in ReadHolder object: sampling_rate metadata field not found."),
        ({7: "x"}, "key 7 is not a str"),
    ],
)
def test_validate_read_says_why(changes, expected):
    problem = C("ipc:///nonexistent/socket", "ref_dna_fast").validate_read(small_read(changes))
    assert problem == expected


def test_returned_dicts_give_the_text_the_library_built_for_the_read(tmp_path, server, make_client):
    # The records the library wrote when the reads were collected, less the
    # modified-base tags, are what the dicts give once those are dropped.
    client = make_client(server, config="ref_dna_accurate", params={"move_enabled": True})
    assert client.connect() == C.success
    reads = [read for read, _ in simulated_reads(tmp_path, 20, 300, 11, "--split-fraction", 0.3)]
    assert client.pass_reads(reads, 5000) == C.read_accepted
    checked = 0
    for group in collect(client, len(reads)):
        for read in group:
            [library] = tavrix.sam_records(read)
            expected = [field for field in library.split("\t") if not field.startswith(LIBRARY_ONLY_TAGS)]
            del read["datasets"]["base_mod_probs"]
            assert tavrix.sam_records(read) == ["\t".join(expected)]
            header = tavrix.fastq_header_line(read, include_move_table=True).split("\t")
            assert header[0] == "@" + expected[0]
            # The header carries the same per-read tags, then the read group.
            per_read = [field for field in expected[11:] if not field.startswith("mv:")]
            assert header[1 : 1 + len(per_read)] == per_read
            assert header[-1].startswith("mv:B:c,")
            checked += 1
    assert checked > len(reads)  # split reads came back in pieces too
