"""Read dicts to library reads and back."""

import numpy as np
import pytest

import tavrix
from conftest import collect, make_read

C = tavrix.Corvane


@pytest.fixture
def unconnected():
    # An unconnected client tells a valid read (not accepted) from an
    # invalid one (bad_read) without a server.
    return C("ipc:///nonexistent/socket", "ref_dna_fast")


def small_read(**changes):
    read = {"read_tag": 1, "raw_data": np.arange(10, dtype=np.int16), "read_id": "r",
            "daq_offset": 0.0, "daq_scaling": 1.0, "sampling_rate": 4000.0, "start_time": 0}
    read.update(changes)
    return read


@pytest.mark.parametrize("changes, expected", [
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
])
def test_read_dicts_are_checked_before_passing(unconnected, changes, expected):
    assert unconnected.pass_read(small_read(**changes)) == expected


@pytest.mark.parametrize("missing", ["read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling",
                                     "sampling_rate", "start_time"])
def test_every_required_key_is_required(unconnected, missing):
    read = small_read()
    del read[missing]
    assert unconnected.pass_read(read) == C.bad_read


@pytest.mark.parametrize("changes", [{"start_time": -1}, {"channel": 2**31}, {"mux": 2**40}])
def test_integers_that_do_not_fit_raise_the_cast_error(unconnected, changes):
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        unconnected.pass_read(small_read(**changes))


def test_a_key_that_is_not_a_str_raises_the_cast_error(unconnected):
    read = small_read()
    read[7] = "x"
    with pytest.raises(RuntimeError, match="Unable to cast Python instance of type <class 'int'>"):
        unconnected.pass_read(read)


def test_negative_wait_is_refused_after_the_read_is_checked(unconnected):
    with pytest.raises(ValueError, match=r"^wait_duration_ms\. Must be greater than or equal to zero\.$"):
        unconnected.pass_read(small_read(), wait_duration_ms=-1)
    assert unconnected.pass_read(small_read(read_id=""), wait_duration_ms=-1) == C.bad_read


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
