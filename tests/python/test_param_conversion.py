"""Parameter dicts and configuration details."""

import json

import pytest
from conftest import parse_states

import tavrix

C = tavrix.Corvane


@pytest.mark.parametrize(
    "params, expected",
    [
        ({}, C.success),
        ({"query_timeout": 5000}, C.success),
        ({"query_timeout": 5000.0}, C.failed),
        ({"max_reads_queued": -1}, C.failed),
        ({"query_timeout": 2**32}, C.failed),
        ({"barcode_kits": ["A1", "B2"]}, C.success),
        ({"barcode_kits": ["A1", 2]}, C.failed),
        ({"barcode_kits": 3}, C.failed),
        ({"move_enabled": True}, C.success),
        ({"move_enabled": 1}, C.failed),
        ({"priority": C.high_priority}, C.success),
        ({"priority": 5}, C.failed),
        ({"no_such_key": 1}, C.failed),
        ({1: 1}, C.failed),
        ({"client_name": "a>b"}, C.failed),
    ],
)
def test_parameter_dicts(params, expected):
    assert C("ipc:///nonexistent/socket", "ref_dna_fast", 2).set_params(params) == expected


def test_an_unknown_key_applies_nothing(server):
    client = C(server, "ref_dna_fast")
    assert client.set_params({"client_name": "named", "no_such_key": 1}) == C.failed
    assert json.loads(client.get_internal_state())["m_timeout"] == 2000


def test_parameters_reach_every_member_and_connected_clients_refuse(server, make_client):
    client = make_client(server, num_threads=2, params={"query_timeout": 5000, "barcode_kits": ["A1", "B2"]})
    reports = parse_states(client.get_internal_state())
    assert len(reports) == 2
    for report in reports:
        assert report["m_timeout"] == 5000 and report["m_barcode_kits"] == "A1 B2"
    client = make_client(server, num_threads=2)
    assert client.connect() == C.success
    assert client.set_params({}) == C.already_connected
    config, result = client.get_basecalling_config()
    assert result == C.success
    assert config["config_name"] == "ref_dna_fast" and config["duplex"] is False


@pytest.mark.parametrize(
    "items, expected",
    [
        (["a", "", "b"], (True, "a  b")),
        (["", "a"], (True, "a")),
        (["a", 1], (False, "a")),
        ([], (True, "")),
    ],
)
def test_str_list_concat(items, expected):
    assert tavrix.test_str_list_concat(items) == expected


def test_config_details_to_dict():
    details = tavrix.test_config_details_to_dict()
    assert list(details.items()) == [
        ("config_name", "test_config_filename.cfg"),
        ("duplex", False),
        ("model_stride", 1),
        ("model_version_id", "test_model_version_id"),
    ]
    assert type(details["model_stride"]) is int
