"""The executables the command-line program runs (the reference server and
the read simulator), found in the package's own bin/ folder first, then in
$CORVANE_BIN_DIR, then on PATH."""

import os
import shutil
from pathlib import Path

BIN_DIR_ENV = "CORVANE_BIN_DIR"
PACKAGE_BIN_DIR = Path(__file__).resolve().parent / "bin"


class ProgramNotFoundError(RuntimeError):
    """An executable the command needs is nowhere to be found."""


def _executable(path: Path) -> str | None:
    return str(path) if path.is_file() and os.access(path, os.X_OK) else None


def find_program(name: str) -> str:
    """The path of executable `name`; raises ProgramNotFoundError naming the
    places searched when it is absent."""
    found = _executable(PACKAGE_BIN_DIR / name)
    if found:
        return found
    searched = [str(PACKAGE_BIN_DIR)]
    bin_dir = os.environ.get(BIN_DIR_ENV)
    if bin_dir:
        found = _executable(Path(bin_dir) / name)
        if found:
            return found
        searched.append(f"${BIN_DIR_ENV} ({bin_dir})")
    found = shutil.which(name)
    if found:
        return found
    searched.append("PATH")
    raise ProgramNotFoundError(
        f"program {name!r} not found (searched {', '.join(searched)}); "
        f"reinstall the package or set {BIN_DIR_ENV} to the folder holding it"
    )
