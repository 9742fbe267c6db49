"""The pooled client against a reference server."""

import json
import threading
import time

import pytest
from conftest import collect, make_read, parse_states

import tavrix

C = tavrix.Corvane


@pytest.mark.parametrize("num_threads", [0, 101, -1])
def test_pool_size_is_checked(num_threads):
    with pytest.raises(RuntimeError, match=r"^Invalid number of worker threads specified\.$"):
        C("ipc:///nonexistent/socket", "ref_dna_fast", num_threads)


def test_a_pool_of_a_hundred_is_accepted():
    assert len(repr(C("ipc:///nonexistent/socket", "ref_dna_fast", num_threads=100)).split("\n")) == 100


def test_repr_and_wrong_state_calls_of_a_disconnected_pool():
    client = C("ipc:///nonexistent/socket", "ref_dna_fast", 2)
    assert repr(client) == "Corvane(status=disconnected)\nCorvane(status=disconnected)"
    with pytest.raises(RuntimeError, match=r"^Negative timeout specified for finish\(\) method\.$"):
        client.finish(-1)
    assert client.finish(0) == C.no_connection
    assert client.disconnect() == C.no_connection
    assert client.get_basecalling_config() == ({}, C.no_connection)
    assert client.get_completed_reads() == []
    assert client.get_address() == "ipc:///nonexistent/socket"


def test_every_sequence_comes_back(server, make_client):
    client = make_client(server)
    assert client.connect() == C.success
    assert client.get_status() == C.connected
    reads = [make_read(tag) for tag in range(20)]
    assert client.pass_reads(reads[:10]) == C.read_accepted
    for read in reads[10:]:
        assert client.pass_read(read, wait_duration_ms=5000) == C.read_accepted
    groups = collect(client, 20)
    assert client.finish(10) == C.success
    assert sorted(group[0]["read_tag"] for group in groups) == list(range(20))
    for group in groups:
        for read in group:
            assert read["metadata"]["read_id"] == f"read-{read['read_tag']}"
            assert len(read["datasets"]["sequence"]) == len(read["datasets"]["qstring"]) > 0
            assert read["metadata"]["model_version_id"] == "ref_dna_fast@v1.0.0"


def test_the_same_reads_come_back_with_the_same_sequences(server, make_client):
    first, second = make_client(server), make_client(server, num_threads=3)
    sequences = []
    for client in (first, second):
        assert client.connect() == C.success
        assert client.pass_reads([make_read(tag) for tag in range(6)]) == C.read_accepted
        groups = collect(client, 6)
        sequences.append({g[0]["read_tag"]: [r["datasets"]["sequence"] for r in g] for g in groups})
    assert sequences[0] == sequences[1]


def test_reads_go_round_robin_over_the_pool(server, make_client):
    client = make_client(server, num_threads=3)
    assert client.connect() == C.success
    for tag in range(7):
        assert client.pass_read(make_read(tag)) == C.read_accepted
    collect(client, 7)
    counts = parse_states(client.get_internal_state())
    stats, result = C.get_server_stats(server, 2000)
    assert result == C.success
    assert sorted(c["input_read_count"] for c in stats["client_statistics"]) == [2, 2, 3]
    assert len(counts) == 3


def test_a_connect_failure_on_one_member_disconnects_the_others(start_server, make_client):
    fault = {"request": "CONNECT", "action": "reply", "reply": "BAD_REQUEST", "text": "refused", "skip": 1, "count": 1}
    address = start_server({"faults": [fault]})
    client = make_client(address, num_threads=3)
    result = client.connect()
    assert result not in (C.success, C.already_connected)
    # The first member had connected: it is disconnected again; the third
    # was never asked.
    lines = repr(client).split("\n")
    assert lines[0] == lines[2] == "Corvane(status=disconnected)"


def test_other_python_threads_run_while_connect_blocks(start_server, make_client):
    slow = {"configurations": [{"name": "slow", "model_version_id": "slow@v1", "load_delay_ms": 1500}]}
    client = make_client(start_server(slow), config="slow")
    ticks = []
    done = threading.Event()

    def tick():
        while not done.is_set():
            ticks.append(time.monotonic())
            time.sleep(0.01)

    ticker = threading.Thread(target=tick)
    result = []
    connector = threading.Thread(target=lambda: result.append(client.connect()))
    connector.start()
    ticker.start()
    connector.join(timeout=30)
    done.set()
    ticker.join()
    assert result == [C.success]
    assert len(ticks) > 20


def test_queries_against_a_server(server):
    info, result = C.get_server_information(server, 2000)
    assert result == C.success and json.loads(info)
    kits, result = C.get_barcode_kits(server, 2000)
    assert (
        result == C.success
        and kits
        and set(kits[0]) == {"kit_name", "first_index", "last_index", "is_both_ends", "barcode_names"}
    )
    assert kits[0]["barcode_names"][:2] == ["barcode01", "barcode02"]
    assert len(kits[0]["barcode_names"]) == kits[0]["last_index"] - kits[0]["first_index"] + 1
    state, result = C.get_server_internal_state(server, 2000)
    assert result == C.success and json.loads(state)


def test_queries_without_a_server(tmp_path):
    address = f"ipc://{tmp_path}/none.sock"
    assert C.get_server_information(address, 100) == ("No information available", C.timed_out)
    assert C.get_barcode_kits(address, 100) == (None, C.timed_out)
    assert C.get_server_stats(address, 100) == (None, C.timed_out)
    assert C.get_server_internal_state(address, 100) == (None, C.timed_out)
    assert C.get_software_version() == (7, 13, 6) and C.get_protocol_version() == (26, 0, 0)
