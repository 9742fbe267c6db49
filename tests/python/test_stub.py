"""The type stub describes what the module holds."""

import ast
import importlib.util
from pathlib import Path

import tavrix

STUB_ONLY = {"ReadDict", "_Enum"}


def stub_tree():
    folder = Path(tavrix.__file__).parent
    assert (folder / "py.typed").exists()
    return ast.parse((folder / "__init__.pyi").read_text())


def names_in(body):
    names = set()
    for node in body:
        if isinstance(node, (ast.FunctionDef, ast.ClassDef)):
            names.add(node.name)
        elif isinstance(node, ast.AnnAssign):
            names.add(node.target.id)
    return names


def public(names):
    return {n for n in names if not n.startswith("_")}


def test_stub_and_module_list_the_same_names():
    tree = stub_tree()
    assert public(names_in(tree.body)) - STUB_ONLY == public(dir(tavrix))
    [corvane] = [n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Corvane"]
    assert public(names_in(corvane.body)) == public(dir(tavrix.Corvane))
    for enum in ("status", "result", "pass_read_result", "read_priority"):
        [node] = [n for n in corvane.body if isinstance(n, ast.ClassDef) and n.name == enum]
        assert public(names_in(node.body)) == set(getattr(tavrix.Corvane, enum).__members__)


def test_the_module_is_the_installed_package():
    found = importlib.util.find_spec("tavrix")
    assert found.submodule_search_locations and "site-packages" in found.origin
