"""The .pyi stubs of the compiled modules against the modules themselves.

stubtest (mypy's) compares every name, parameter and default of the stubs
with the built modules; the annotations reported by ``inspect.signature``
must be the stubs' own text; ``from module import *`` gives exactly the
public names, each of them declared in the stub.
"""
import ast
import importlib
import json
import inspect
import re
import subprocess
import sys
from pathlib import Path

import pytest

from subprocess_env import CWD, child_env

MODULES = {
    "community.retrievers.qor": ["VectorStoreRetriever", "VectorStoreRecommender", "ExternalRetriever", "get_rrf_dict"],
    "community.models.cogsift": ["qorCogsift", "get_input_len", "get_text_token_len", "atransform"],
}


def stub_tree(name):
    """The stub beside the module the tests import (built in place or installed)."""
    module_file = Path(importlib.import_module(name).__file__)
    return ast.parse(module_file.with_name(name.rsplit(".", 1)[1] + ".pyi").read_text())


def stub_functions(tree):
    """(path, function node) of every function of the stub, methods as "Class.name"."""
    for node in tree.body:
        if isinstance(node, (ast.FunctionDef, ast.AsyncFunctionDef)):
            yield node.name, node
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, (ast.FunctionDef, ast.AsyncFunctionDef)):
                    yield f"{node.name}.{item.name}", item


def runtime_text(annotation):
    """An annotation as stub text: module prefixes dropped ("typing.", "langchain_core...")."""
    if annotation is inspect.Parameter.empty:
        return None
    return re.sub(r"\b(?:\w+\.)+(\w+)", r"\1", inspect.formatannotation(annotation))


def stub_text(annotation):
    return None if annotation is None else ast.unparse(annotation)


@pytest.mark.integration
def test_stubtest_finds_no_mismatch():
    run = subprocess.run(
        [sys.executable, "-m", "mypy.stubtest", "--allowlist", str(Path(__file__).with_name("stubtest-allowlist.txt")),
         *MODULES],
        cwd=CWD, env=child_env(), capture_output=True, text=True, timeout=600,
    )
    assert run.returncode == 0, run.stdout + run.stderr


@pytest.mark.parametrize("name", MODULES)
def test_signature_annotations_are_the_stubs(name):
    module = importlib.import_module(name)
    checked = 0
    for path, node in stub_functions(stub_tree(name)):
        owner = module
        for part in path.split(".")[:-1]:
            owner = getattr(owner, part)
        runtime = inspect.getattr_static(owner, node.name)
        runtime = getattr(runtime, "wrapped", runtime)  # pydantic's validator proxy
        runtime = getattr(runtime, "__func__", runtime)  # classmethod
        if getattr(runtime, "__module__", None) != name:
            continue  # inherited from LangChain; the stub only narrows its types
        signature = inspect.signature(runtime)
        args = node.args
        stub_params = [*args.posonlyargs, *args.args, *([args.vararg] if args.vararg else []), *args.kwonlyargs,
                       *([args.kwarg] if args.kwarg else [])]
        assert [p.arg for p in stub_params] == list(signature.parameters), path
        for param in stub_params:
            got = runtime_text(signature.parameters[param.arg].annotation)
            assert got == stub_text(param.annotation), f"{path}({param.arg})"
        assert runtime_text(signature.return_annotation) == stub_text(node.returns), f"{path} return"
        checked += 1
    assert checked >= 4


@pytest.mark.parametrize("name", MODULES)
def test_star_import_gives_the_public_names_declared_in_the_stub(name):
    namespace = {}
    exec(f"from {name} import *", namespace)
    assert sorted(k for k in namespace if k != "__builtins__") == sorted(MODULES[name])
    tree = stub_tree(name)
    declared = {n.name for n in tree.body if isinstance(n, (ast.FunctionDef, ast.ClassDef))}
    stub_all = next(ast.literal_eval(n.value) for n in tree.body
                    if isinstance(n, ast.Assign) and n.targets[0].id == "__all__")
    assert stub_all == importlib.import_module(name).__all__
    assert set(MODULES[name]) <= declared


@pytest.mark.integration
def test_pyright_flags_misuse_in_a_user_script(tmp_path):
    """pyright (basedpyright) reads the stubs: a user's misuse is flagged, with
    the right rule, and correct use is not."""
    pyright = Path(sys.executable).with_name("basedpyright")
    if not pyright.exists():
        pytest.skip("basedpyright is not installed")
    script = Path(__file__).with_name("user_script.py")
    expected = {(number, match.group(1))
                for number, text in enumerate(script.read_text().splitlines(), 1)
                if (match := re.search(r"# error: (\w+)", text))}
    (tmp_path / "pyrightconfig.json").write_text('{"typeCheckingMode": "standard"}')
    run = subprocess.run([str(pyright), "--outputjson", "--pythonpath", sys.executable, "--project",
                          str(tmp_path / "pyrightconfig.json"), str(script)],
                         cwd=tmp_path, env=child_env(), capture_output=True, text=True, timeout=600)
    report = json.loads(run.stdout)
    found = {(d["range"]["start"]["line"] + 1, d.get("rule", "")) for d in report["generalDiagnostics"]
             if d["severity"] == "error"}
    assert found == expected, run.stdout
