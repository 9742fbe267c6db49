"""Read dicts to library reads and back."""

import gc
import math
import time

import numpy as np
import pytest
from conftest import FAST_PARAMS, collect, make_read, parse_states, simulated_reads, small_read

import tavrix

OUTPUT_QUEUE = "m_reads_out (output queue of reads from server)"

C = tavrix.Corvane


@pytest.fixture
def unconnected():
    # An unconnected client tells a valid read (not accepted) from an
    # invalid one (bad_read) without a server.
    return C("ipc:///nonexistent/socket", "ref_dna_fast")


REQUIRED_KEYS = ("read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling", "sampling_rate", "start_time")


@pytest.mark.parametrize(
    "changes, expected",
    [
        ({}, C.not_accepting_reads),
        ({"sampling_rate": 4000}, C.bad_read),
        ({"daq_offset": 1}, C.bad_read),
        ({"read_tag": 4294967296}, C.bad_read),
        ({"read_tag": -1}, C.bad_read),
        ({"read_tag": 4294967295}, C.not_accepting_reads),
        ({"read_tag": True}, C.not_accepting_reads),
        ({"read_tag": "1"}, C.bad_read),
        ({"raw_data": np.zeros((2, 5), dtype=np.int16)}, C.bad_read),
        ({"raw_data": np.arange(10, dtype=np.int32)}, C.bad_read),
        ({"raw_data": np.arange(10, dtype=">i2")}, C.bad_read),
        ({"raw_data": [1, 2, 3]}, C.bad_read),
        ({"raw_data": np.arange(20, dtype=np.int16)[::2]}, C.not_accepting_reads),
        ({"read_id": ""}, C.bad_read),
        ({"run_id": ""}, C.not_accepting_reads),
        ({"run_id": 3}, C.bad_read),
        ({"channel": "1"}, C.bad_read),
        ({"comment": object()}, C.not_accepting_reads),
        # Every required key is required.
        *(({name: None}, C.bad_read) for name in REQUIRED_KEYS),
    ],
)
def test_read_dicts_are_checked_before_passing(unconnected, changes, expected):
    assert unconnected.pass_read(small_read(changes)) == expected


# Integers that do not fit, and a key that is not a str.
@pytest.mark.parametrize("changes", [{"start_time": -1}, {"channel": 2**31}, {"mux": 2**40}, {7: "x"}])
def test_what_cannot_be_cast_raises_the_cast_error(unconnected, changes):
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        unconnected.pass_read(small_read(changes))


def test_negative_wait_is_refused_after_the_read_is_checked(unconnected):
    with pytest.raises(ValueError, match=r"^wait_duration_ms\. Must be greater than or equal to zero\.$"):
        unconnected.pass_read(small_read(), wait_duration_ms=-1)
    assert unconnected.pass_read(small_read({"read_id": ""}), wait_duration_ms=-1) == C.bad_read


def test_refused_reads_leave_the_callers_dicts_untouched(unconnected):
    samples = np.arange(100, dtype=np.int16)
    reads = [make_read(t, samples.copy()) for t in range(3)]
    before = [dict(r, raw_data=r["raw_data"].copy()) for r in reads]
    assert unconnected.pass_reads(reads) == C.not_accepting_reads
    for read, kept in zip(reads, before):
        assert read.keys() == kept.keys()
        np.testing.assert_array_equal(read["raw_data"], kept["raw_data"])
        assert read["read_id"] == kept["read_id"]


def test_helper_dict_to_readholder_round_trips():
    read = tavrix.test_dict_to_readholder()
    assert list(read) == ["read_tag", "sub_tag", "priority", "metadata", "datasets"]
    assert read["read_tag"] == 4294967286
    np.testing.assert_array_equal(read["datasets"]["raw_data"], np.arange(100, dtype=np.int16))
    assert read["metadata"]["read_id"] == "test_read"
    assert read["metadata"]["daq_offset"] == 1.5 and read["metadata"]["start_time"] == 6


def test_helper_readholder_to_dict():
    read = tavrix.test_readholder_to_dict()
    assert read["priority"] == C.medium_priority
    metadata = read["metadata"]
    assert metadata["read_id"] == "Test read-id" and metadata["channel"] == 4
    assert metadata["daq_offset"] == pytest.approx(1.8) and metadata["duration"] == 12000450138
    assert metadata["model_version_id"] == ""
    assert metadata["is_duplex_parent"] == 0 and type(metadata["is_duplex_parent"]) is int
    assert "mux" not in metadata and "barcode_kit" not in metadata


def test_helper_metadata_keeps_the_published_key_order():
    names = list(tavrix.test_metadata_to_dict())
    assert names.index("read_id") < names.index("channel") < names.index("daq_scaling")
    assert names.index("daq_scaling") < names.index("model_version_id")


def test_helper_datasets_to_dict():
    datasets = tavrix.test_datasets_to_dict()
    assert list(datasets) == ["raw_data", "sequence"]
    assert datasets["raw_data"].dtype == np.int16
    np.testing.assert_array_equal(datasets["raw_data"], np.arange(1000))
    assert datasets["sequence"] == "ACGTCGTGTT"


def test_strided_samples_arrive_as_selected(server, make_client):
    client = make_client(server)
    assert client.connect() == C.success
    base = np.arange(8000, dtype=np.int16)
    assert client.pass_read(make_read(5, base[::2])) == C.read_accepted
    [[read]] = collect(client, 1)
    assert read["metadata"]["duration"] == 4000


def test_completed_read_with_modified_bases_has_its_sam_record(server, make_client):
    client = make_client(server, config="ref_dna_accurate")
    assert client.connect() == C.success
    assert client.pass_read(make_read(1)) == C.read_accepted
    [group] = collect(client, 1)
    read = group[0]
    probs = read["datasets"]["base_mod_probs"]
    assert probs.dtype == np.uint8 and probs.ndim == 2
    assert probs.shape[0] == len(read["datasets"]["sequence"])
    record = read["metadata"]["alignment_sam_record"]
    assert record.startswith("read-1\t") and "MM:Z:" in record and not record.endswith("\n")
    assert "conversion_error" not in read["metadata"]


def below_open_pore(tag):
    # Samples that the reference server calls as one read under the read's
    # own name (no open-pore gap splits it into renamed pieces).
    return np.random.default_rng(tag).integers(-1000, 1000, 4000, dtype=np.int16)


def test_a_read_whose_sam_text_cannot_be_built_keeps_its_dict(start_server, make_client):
    # The server spoils the modified-base results of the second pool member
    # (connection "2") only; its read comes back in the same call as the
    # others, whose SAM text is built.
    address = start_server(
        {"faults": [{"request": "GET_FIRST_CALLED_BLOCK", "action": "blank_in_read_name", "client": "2"}]}
    )
    client = make_client(address, config="ref_dna_accurate", num_threads=2)
    assert client.connect() == C.success
    states = parse_states(client.get_internal_state())
    assert [s["Client"]["ReadBuffer"]["m_connection_id "] for s in states] == ["1", "2"]
    for tag in (1, 2, 3):  # members 0, 1, 0
        assert client.pass_read(make_read(tag, below_open_pore(tag))) == C.read_accepted
    deadline = time.monotonic() + 30
    while (
        time.monotonic() < deadline
        and sum(s["Client"]["ReadBuffer"][OUTPUT_QUEUE] for s in parse_states(client.get_internal_state())) < 3
    ):
        time.sleep(0.005)  # polling interval, not synchronisation
    by_tag = {group[0]["read_tag"]: group for group in client.get_completed_reads()}
    assert sorted(by_tag) == [1, 2, 3]
    [bad] = by_tag[2]
    assert "alignment_sam_record" not in bad["metadata"]
    assert "0x20" in bad["metadata"]["conversion_error"], bad["metadata"]["conversion_error"]
    assert bad["metadata"]["read_id"] == "read-2" and len(bad["datasets"]["sequence"]) > 0
    for tag in (1, 3):
        [good] = by_tag[tag]
        assert "conversion_error" not in good["metadata"]
        assert good["metadata"]["alignment_sam_record"].startswith(f"read-{tag}\t")


ALIGN_RESULTS_LAYOUT = [
    ("genome", "S254", 0),
    ("direction", "S2", 254),
    ("genome_start", "<i4", 256),
    ("genome_end", "<i4", 260),
    ("strand_start", "<i4", 264),
    ("strand_end", "<i4", 268),
    ("num_events", "<i4", 272),
    ("num_insertions", "<i4", 276),
    ("num_deletions", "<i4", 280),
    ("num_aligned", "<i4", 284),
    ("num_correct", "<i4", 288),
    ("coverage", "<f4", 292),
    ("identity", "<f4", 296),
    ("accuracy", "<f4", 300),
    ("score", "<i4", 304),
    ("bed_hits", "<i4", 308),
    ("mapping_quality", "<i4", 312),
    ("secondary_alignment", "u1", 316),
    ("supplementary_alignment", "u1", 317),
]


def aligned_reads(folder, reference, count, length):
    """Reads drawn from `reference` by the reference server's simulator, as
    (read dict, where it was drawn from: genome, start, end, strand)."""
    reads = []
    for read, record in simulated_reads(folder, count, length, 7, "--reference", reference):
        genome, span, strand = record["source"].rsplit(":", 2)
        start, end = map(int, span.split("-"))
        reads.append((read, (genome, start, end, strand)))
    return reads


def test_aligned_reads_come_back_with_their_alignment_table(tmp_path, server, make_client):
    reference = tmp_path / "genome.fa"
    bases = "".join(np.random.default_rng(11).choice(list("ACGT"), 8000))
    reference.write_text(f">contig_a first\n{bases[:5000]}\n>contig_b\n{bases[5000:]}\n")
    reads = aligned_reads(tmp_path, reference, 4, 500)
    client = make_client(server, params={"align_ref": str(reference)})
    assert client.connect() == C.success
    assert client.pass_reads([read for read, _ in reads]) == C.read_accepted
    by_tag = {group[0]["read_tag"]: group[0] for group in collect(client, len(reads))}
    for tag, (_, (genome, start, end, strand)) in enumerate(reads):
        returned = by_tag[tag]
        table = returned["datasets"]["align_results"]
        assert [(name, table.dtype.fields[name][0].str, table.dtype.fields[name][1]) for name in table.dtype.names] == [
            (n, np.dtype(f).str, o) for n, f, o in ALIGN_RESULTS_LAYOUT
        ]
        assert table.dtype.itemsize == 320
        primary = table[0]
        assert (primary["genome"], primary["direction"]) == (genome.encode(), strand.encode())
        assert (primary["genome_start"], primary["genome_end"]) == (start, end)
        assert primary["num_correct"] == primary["num_aligned"] == end - start
        assert primary["secondary_alignment"] == 0 and primary["supplementary_alignment"] == 0
        metadata = returned["metadata"]
        assert (metadata["alignment_genome"], metadata["alignment_genome_start"]) == (genome, start)
        fields = metadata["alignment_sam_record"].split("\n")[0].split("\t")
        assert fields[0] == metadata["read_id"] and fields[2] == genome and int(fields[3]) == start + 1


def unaligned(samples):
    """The samples in an array whose data starts at an odd address."""
    storage = np.zeros(samples.nbytes + 1, dtype=np.uint8)
    moved = storage[1:].view(np.int16)
    moved[:] = samples
    assert not moved.flags.aligned
    return moved


def spread(samples):
    """The samples every other element of a larger array."""
    storage = np.zeros(2 * len(samples), dtype=np.int16)
    storage[::2] = samples
    return storage[::2]


def keys_made_at_run_time(read):
    """The same dict under new str objects rather than the literals' interned ones."""
    return {"".join(list(key)): value for key, value in read.items()}


@pytest.mark.parametrize(
    "make, expected",
    [
        (lambda tag: keys_made_at_run_time(make_read(tag, below_open_pore(tag), channel=7)), {"channel": 7}),
        (lambda tag: make_read(tag, below_open_pore(tag), start_time=2**64 - 1), {"start_time": 2**64 - 1}),
        (
            lambda tag: make_read(tag, below_open_pore(tag), channel=-(2**31), mux=2**31 - 1),
            {"channel": -(2**31), "mux": 2**31 - 1},
        ),
        (lambda tag: make_read(tag, below_open_pore(tag), mux=-1), {"mux": 2**32 - 1}),
        (lambda tag: make_read(tag, unaligned(below_open_pore(tag))), {}),
        (lambda tag: make_read(tag, spread(below_open_pore(tag))), {}),
    ],
    ids=["keys made at run time", "largest start time", "int32 limits", "mux stored unsigned", "unaligned", "strided"],
)
def test_read_dicts_arrive_with_their_values(server, make_client, make, expected):
    client = make_client(server)
    assert client.connect() == C.success
    assert client.pass_read(make(3)) == C.read_accepted
    [[read]] = collect(client, 1)
    assert read["metadata"]["read_id"] == "read-3"
    for key, value in expected.items():
        assert read["metadata"][key] == value, key
    np.testing.assert_array_equal(read["datasets"]["raw_data"], below_open_pore(3))


OPTIONAL_KEYS = ["run_id", "channel", "mux", "sequencing_kit", "end_reason"]


def every_subset_of_the_optional_keys():
    """Twice, with different values."""
    sent = []
    for tag in range(2 * 2 ** len(OPTIONAL_KEYS)):
        values = {
            "run_id": f"run-{tag}",
            "channel": tag,
            "mux": tag % 4 + 1,
            "sequencing_kit": f"kit-{tag}",
            "end_reason": f"reason-{tag}",
        }
        sent.append({name: values[name] for bit, name in enumerate(OPTIONAL_KEYS) if tag >> bit & 1})
    return sent


def text_beyond_ascii():
    # Returned text is copied straight when it is plain ASCII and decoded
    # otherwise: one character beyond ASCII at any place, in the first
    # bytes, in a whole word or in the last bytes, must be noticed.
    texts = ["a" * at + "é" + "a" * (70 - at) for at in (0, 10, 20, 31, 33, 64, 70)]
    texts += ["a" * 64 + "€", "a" * 3 + "ü", "a" * 71]
    return [{"sequencing_kit": text, "end_reason": text[::-1]} for text in texts]


@pytest.mark.parametrize(
    "sent",
    [
        # Consecutive reads whose values repeat, change, differ only in the
        # sign of zero or share a prefix.
        [
            {"read_id": "same-a", "daq_offset": 0.0, "daq_scaling": 1.0, "start_time": 2**40},
            {"read_id": "same-b", "daq_offset": -0.0, "daq_scaling": 1.0, "start_time": 2**40},
            {"read_id": "same-c", "daq_offset": 0.0, "daq_scaling": 2.5, "start_time": 2**40 + 1},
            {"read_id": "same-a!", "daq_offset": 3.0, "daq_scaling": 2.5, "start_time": 2**40},
        ],
        every_subset_of_the_optional_keys(),
        text_beyond_ascii(),
    ],
    ids=["repeated values", "optional keys", "text beyond ascii"],
)
def test_each_returned_read_carries_exactly_its_own_values(server, make_client, sent):
    # Every dict holds exactly the keys its read was given, with its own
    # values and their types, in the one published order.
    client = make_client(server, params={"max_reads_queued": max(20, len(sent))})
    assert client.connect() == C.success
    reads = [make_read(tag, below_open_pore(tag), **values) for tag, values in enumerate(sent)]
    assert client.pass_reads(reads) == C.read_accepted
    returned = {read["read_tag"]: read for group in collect(client, len(sent)) for read in group}
    assert sorted(returned) == list(range(len(sent)))
    widest = list(max((read["metadata"] for read in returned.values()), key=len))
    for tag, values in enumerate(sent):
        metadata = returned[tag]["metadata"]
        assert [name for name in OPTIONAL_KEYS if name in metadata] == [n for n in OPTIONAL_KEYS if n in values], tag
        for key, value in values.items():
            assert type(metadata[key]) is type(value) and metadata[key] == value, (tag, key)
        assert metadata["read_id"] == values.get("read_id", f"read-{tag}")
        sign = math.copysign(1.0, values.get("daq_offset", 0.0))
        assert math.copysign(1.0, metadata["daq_offset"]) == sign, tag
        assert list(metadata) == [name for name in widest if name in metadata], tag
        samples = returned[tag]["datasets"]["raw_data"]
        assert samples.dtype == np.int16 and samples.flags.c_contiguous and samples.flags.writeable
        np.testing.assert_array_equal(samples, below_open_pore(tag))


# The Python type of every metadata key of a returned read.
METADATA_TYPES = dict.fromkeys(
    [
        "model_version_id",
        "modbase_model_version_id",
        "gpu_name",
        "read_id",
        "strand_id",
        "duplex_strand_1",
        "duplex_strand_2",
        "run_id",
        "sample_id",
        "time_stamp",
        "filename",
        "filename_short",
        "flow_cell_id",
        "exp_start_time",
        "protocol_group_id",
        "device_id",
        "protocol_run_id",
        "sequencing_kit",
        "flow_cell_product_code",
        "strand_orientation",
        "umi_tag_sequence",
        "end_reason",
        "experiment_id",
        "pore_type",
        "scaling_version",
        "base_mod_alphabet",
        "base_mod_long_names",
        "base_mod_context",
        "barcode_kit",
        "barcode_arrangement",
        "barcode_variant",
        "barcode_alias",
        "alignment_direction",
        "alignment_genome",
        "alignment_sam_record",
        "alignment_bed_lines",
    ],
    str,
)
METADATA_TYPES.update(
    dict.fromkeys(
        [
            "is_duplex_parent",
            "split_point",
            "channel",
            "mux",
            "read_number",
            "client_id",
            "batch_number",
            "duration",
            "start_time",
            "num_keldrow_events",
            "trimmed_duration",
            "trimmed_samples",
            "model_stride",
            "num_events",
            "trimmed_events",
            "sequence_length",
            "passes_filtering",
            "trim_front",
            "trim_rear",
            "barcode_front_foundseq_length",
            "barcode_front_begin_index",
            "barcode_rear_foundseq_length",
            "barcode_rear_end_index",
            "alignment_genome_start",
            "alignment_genome_end",
            "alignment_strand_start",
            "alignment_strand_end",
            "alignment_num_events",
            "alignment_num_insertions",
            "alignment_num_deletions",
            "alignment_num_aligned",
            "alignment_num_correct",
            "alignment_score",
            "alignment_bed_hits",
            "alignment_mapping_quality",
            "alignment_num_alignments",
            "alignment_num_secondary_alignments",
            "alignment_num_supplementary_alignments",
            "poly_tail_length",
            "poly_tail_anchor",
            "poly_tail_start_1",
            "poly_tail_end_1",
            "poly_tail_start_2",
            "poly_tail_end_2",
        ],
        int,
    )
)
METADATA_TYPES.update(
    dict.fromkeys(
        [
            "duration_seconds",
            "start_time_seconds",
            "trimmed_start_seconds",
            "trimmed_duration_seconds",
            "daq_offset",
            "daq_scaling",
            "open_pore_level",
            "sampling_rate",
            "median_before",
            "mean_qscore",
            "median",
            "med_abs_dev",
            "scaling_median",
            "scaling_med_abs_dev",
            "qscore_shift",
            "qscore_scale",
            "barcode_score",
            "barcode_front_score",
            "barcode_rear_score",
            "alignment_coverage",
            "alignment_identity",
            "alignment_accuracy",
        ],
        float,
    )
)


def test_returned_metadata_values_have_their_published_types(tmp_path, server, make_client):
    # Reads of several kinds converted one after the other, many of their
    # values zero or equal to another key's: each value keeps its key's type.
    reference = tmp_path / "genome.fa"
    reference.write_text(">contig_a\n" + "".join(np.random.default_rng(3).choice(list("ACGT"), 6000)) + "\n")
    aligned = [read for read, _ in aligned_reads(tmp_path, reference, 3, 500)]
    plain = [make_read(10 + tag, below_open_pore(tag), channel=0, mux=0, run_id="0") for tag in range(3)]
    fast = make_client(server, params={"align_ref": str(reference)})
    accurate = make_client(server, config="ref_dna_accurate")
    assert fast.connect() == C.success and accurate.connect() == C.success
    assert fast.pass_reads(aligned + plain[:2]) == C.read_accepted
    assert accurate.pass_reads(plain[2:]) == C.read_accepted
    returned = collect(fast, len(aligned) + 2) + collect(accurate, 1)
    seen = set()
    for group in returned:
        for read in group:
            for name, value in read["metadata"].items():
                assert type(value) is METADATA_TYPES[name], (read["read_tag"], name, value)
                seen.add(name)
    assert {"alignment_genome_start", "base_mod_alphabet", "channel", "is_duplex_parent"} <= seen


def test_returned_arrays_outlive_their_dicts_and_the_client(server):
    # The arrays are views of storage the returned read owned; kept alone,
    # they stay whole and independent once everything else is gone.
    client = C(server, "ref_dna_fast")
    assert client.set_params(dict(FAST_PARAMS, max_reads_queued=20, move_enabled=True)) == C.success
    assert client.connect() == C.success
    assert client.pass_reads([make_read(tag, below_open_pore(tag)) for tag in range(3)]) == C.read_accepted
    arrays = {}
    for group in collect(client, 3):
        for read in group:
            datasets = read["datasets"]
            arrays[read["read_tag"]] = (datasets["raw_data"], datasets["movement"], datasets["movement"].copy())
    assert sorted(arrays) == [0, 1, 2]
    del group, read, datasets
    client.disconnect()
    del client
    gc.collect()
    for tag, (samples, moves, moves_then) in arrays.items():
        assert samples.flags.owndata is False and samples.flags.writeable and moves.flags.writeable
        samples[0] = tag  # writing to one read's storage leaves the others alone
        np.testing.assert_array_equal(samples[1:], below_open_pore(tag)[1:])
        np.testing.assert_array_equal(moves, moves_then)
    assert [int(arrays[tag][0][0]) for tag in range(3)] == [0, 1, 2]


def rebuilt(d):
    return {key: value for key, value in d.items()}


@pytest.mark.parametrize(
    "change",
    [
        lambda read: read["metadata"].update(read_id="changed", sequence_length=-1),
        lambda read: read["metadata"].clear(),
        lambda read: read["datasets"].update(sequence="N", extra=np.zeros(1)),
        lambda read: read["datasets"].pop("qstring"),
        lambda read: read.update(read_tag=-1, metadata={}, extra=read),
    ],
    ids=["metadata values", "metadata emptied", "data sets", "data set removed", "read dict"],
)
def test_returned_dicts_are_each_their_own(server, make_client, change):
    # Returned dicts are made from kept templates: a caller changing one
    # leaves every dict made before or after it alone, and the garbage
    # collector sees each as it would a dict built key by key.
    client = make_client(server, params={"max_reads_queued": 20})
    assert client.connect() == C.success

    def batch(first):
        sent = [make_read(tag, below_open_pore(tag)) for tag in range(first, first + 3)]
        assert client.pass_reads(sent) == C.read_accepted
        reads = sorted((read for group in collect(client, 3) for read in group), key=lambda read: read["read_tag"])
        return reads, [(dict(read["metadata"]), list(read["datasets"])) for read in reads]

    earlier, earlier_content = batch(0)
    changed, _ = batch(3)
    for read in changed:
        change(read)
    later, later_content = batch(6)
    for reads, content, first in ((earlier, earlier_content, 0), (later, later_content, 6)):
        for offset, (read, (metadata, datasets)) in enumerate(zip(reads, content)):
            assert read["read_tag"] == first + offset and list(read) == list(earlier[0])
            assert read["metadata"] == metadata and metadata["read_id"] == f"read-{first + offset}"
            assert list(read["datasets"]) == datasets == list(earlier_content[0][1])
            assert list(metadata) == list(earlier_content[0][0])
            assert len(read["datasets"]["sequence"]) == metadata["sequence_length"] > 1
            for part in (read, read["metadata"], read["datasets"]):
                assert gc.is_tracked(part) == gc.is_tracked(rebuilt(part))
    assert gc.is_tracked(later[0])  # it holds dicts, which may come to hold anything
