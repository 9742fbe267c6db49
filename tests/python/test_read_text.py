"""The command-line program writes records with the library's text rules:
checked against the SAM lines the library itself writes for reads with
modified bases and moves."""

import json
import subprocess

import numpy as np

import tavrix
from conftest import collect
from corvane_cli.programs import find_program
from corvane_cli.read_text import fastq_header, sam_records

LIBRARY_ONLY_TAGS = ("MM:Z:", "ML:B:C", "MN:i:")


def simulated_reads(folder, count):
    path = folder / "reads.jsonl"
    subprocess.run([find_program("corvane_simulate"), "--reads", str(count), "--length", "300", "--seed", "11",
                    "--split-fraction", "0.3", "-o", str(path)], check=True, capture_output=True)
    reads = []
    for tag, line in enumerate(path.read_text().splitlines()):
        read = json.loads(line)
        read.update(read_tag=tag, raw_data=np.asarray(read.pop("samples"), dtype=np.int16),
                    **{key: float(read[key]) for key in ("daq_offset", "daq_scaling", "sampling_rate")})
        reads.append({key: read[key] for key in ("read_tag", "raw_data", "read_id", "daq_offset", "daq_scaling",
                                                   "sampling_rate", "start_time", "channel", "mux", "run_id")})
    return reads


def test_records_match_the_library_lines(tmp_path, server, make_client):
    client = make_client(server, config="ref_dna_accurate", params={"move_enabled": True})
    assert client.connect() == tavrix.Corvane.success
    reads = simulated_reads(tmp_path, 20)
    assert client.pass_reads(reads, 5000) == tavrix.Corvane.read_accepted
    checked = 0
    for group in collect(client, len(reads)):
        for read in group:
            library = read["metadata"].pop("alignment_sam_record")
            expected = [field for field in library.split("\t") if not field.startswith(LIBRARY_ONLY_TAGS)]
            assert sam_records(read) == ["\t".join(expected)]
            header = fastq_header(read, include_moves=True).split("\t")
            assert header[0] == "@" + expected[0]
            # The header carries the same per-read tags, then the read group.
            per_read = [field for field in expected[11:] if not field.startswith("mv:")]
            assert header[1:1 + len(per_read)] == per_read
            assert header[-1].startswith("mv:B:c,")
            checked += 1
    assert checked > len(reads)  # split reads came back in pieces too
