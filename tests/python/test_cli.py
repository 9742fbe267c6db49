"""The `corvane` program through its installed console script."""

import pytest

from conftest import run_corvane


def test_help_shows_the_usage():
    done = run_corvane("--help")
    assert done.returncode == 0, done.stderr
    assert "usage: corvane" in done.stdout


def test_version_names_the_package_and_the_library():
    import tavrix

    done = run_corvane("--version")
    library = ".".join(map(str, tavrix.Corvane.get_software_version()))
    assert done.returncode == 0 and done.stdout.startswith("corvane ") and f"(library {library})" in done.stdout


@pytest.mark.parametrize("args", [[], ["no-such-command"], ["--no-such-option"]])
def test_bad_command_line_exits_2_with_a_message(args):
    done = run_corvane(*args)
    assert done.returncode == 2
    assert "corvane" in done.stderr and "error" in done.stderr
