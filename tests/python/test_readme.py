"""The README's Python example runs as written."""

import re
from pathlib import Path

README = Path(__file__).resolve().parents[2] / "README.md"


def test_readme_example_runs(server, capsys, monkeypatch):
    [example] = re.findall(r"## Python\n.*?```python\n(.*?)```", README.read_text(), re.S)
    monkeypatch.setenv("CORVANE_SERVER", server)
    exec(compile(example, str(README), "exec"), {})
    assert capsys.readouterr().out.endswith("10 reads came back\n")
