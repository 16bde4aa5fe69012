"""The stubs and the API reference follow the runtime: same methods, kinds and signatures."""

import ast
import re
import sysconfig
from pathlib import Path

import pytest

import hush_vault
from hush_vault import HushVault

ROOT = Path(__file__).resolve().parents[1]
KINDS = {"method_descriptor": "method", "classmethod_descriptor": "classmethod"}


def runtime_surface():
    """name -> (kind, signature without self/cls) for the class and its method table."""
    surface = {"HushVault": ("class", HushVault.__text_signature__)}
    for name, member in vars(HushVault).items():
        kind = KINDS.get(type(member).__name__)
        if kind is not None:
            text = member.__text_signature__
            surface[name] = (kind, re.sub(r"^\(\$(self|cls)(, )?", "(", text))
    return surface


def stub_path():
    # An installed module must have its stubs installed beside it; a build tree uses the sources.
    site = Path(sysconfig.get_paths()["platlib"])
    if Path(hush_vault.__file__).parent == site:
        return site / "hush_vault-stubs" / "__init__.pyi"
    return ROOT / "stubs" / "hush_vault-stubs" / "__init__.pyi"


def stub_signature(function):
    args = function.args
    params = args.posonlyargs + args.args
    defaults = [None] * (len(params) - len(args.defaults)) + list(args.defaults)
    texts = [p.arg if d is None else f"{p.arg}={ast.unparse(d)}" for p, d in zip(params, defaults)]
    if args.posonlyargs:
        texts.insert(len(args.posonlyargs), "/")
    if args.kwonlyargs or args.vararg or args.kwarg:
        texts.append("<keyword-only or variadic>")
    return "(" + ", ".join(texts[1:]) + ")"  # without self / cls


def stub_surface():
    tree = ast.parse(stub_path().read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    surface = {}
    for node in cls.body:
        if not isinstance(node, ast.FunctionDef) or node.name in ("__eq__", "__ne__"):
            continue  # slot wrappers, not the method table: stubtest checks those
        decorators = {ast.unparse(d) for d in node.decorator_list}
        kind = "classmethod" if "classmethod" in decorators else "method"
        if node.name == "__new__":
            node.name, kind = "HushVault", "class"
        surface[node.name] = (kind, stub_signature(node))
    return surface


def docs_surface():
    directive = re.compile(r"^\s*\.\. (class|method|classmethod):: (\w+)(\(.*\))\s*$", re.M)
    text = (ROOT / "docs" / "api.rst").read_text()
    return {name: (kind, signature) for kind, name, signature in directive.findall(text)}


@pytest.mark.parametrize("documented", [stub_surface, docs_surface], ids=["stubs", "api-reference"])
def test_surface_matches_runtime(documented):
    assert documented() == runtime_surface()


def test_stubs_document_the_class_and_every_method():
    # Editors show these on hover.
    tree = ast.parse(stub_path().read_text())
    (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
    nodes = [cls] + [node for node in cls.body if isinstance(node, ast.FunctionDef)]
    assert [node.name for node in nodes if not ast.get_docstring(node)] == []
