"""The private reference server's start: a server that cannot start, or
never says it listens, is given up with the reason, and nothing is left
running or behind."""

import os
import time

import pytest

from corvane_cli.embedded_server import FOLDER_PREFIX, EmbeddedServer, EmbeddedServerError


def fake_server(folder, name, body):
    path = folder / name
    path.write_text("#!/bin/sh\n" + body + "\n")
    path.chmod(0o755)
    return str(path)


def test_a_server_that_does_not_come_up_is_given_up_with_its_reason(tmp_path, monkeypatch):
    monkeypatch.setenv("TMPDIR", str(tmp_path / "temp"))
    (tmp_path / "temp").mkdir()
    cases = [
        # (what the program does, what the error says)
        ("exec sleep 60", "did not say it listens within 0.5 s (it printed nothing)"),
        ("echo 'cannot bind' >&2; exec sleep 60", "did not say it listens within 0.5 s (cannot bind)"),
        ("echo 'reference_server: no such endpoint' >&2; exit 3", "did not start: no such endpoint"),
        ("echo 'something else'; exit 3", "did not start: something else"),
    ]
    for number, (body, message) in enumerate(cases):
        server = EmbeddedServer(program=fake_server(tmp_path, f"server{number}", body), start_deadline_s=0.5)
        began = time.monotonic()
        with pytest.raises(EmbeddedServerError) as raised:
            server.start()
        assert message in str(raised.value), (body, str(raised.value))
        assert time.monotonic() - began < 15, body
        assert server.pid is None, body  # stopped
        assert not [name for name in os.listdir(tmp_path / "temp") if name.startswith(FOLDER_PREFIX)], body
