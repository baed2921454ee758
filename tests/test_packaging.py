"""The installed package: stubs that match the modules, the interpreter the modules were built
for, and the NumPy native-interface paths."""

import ast
import importlib
import importlib.machinery
import inspect
import os
import pathlib
import re
import subprocess
import sys

import numpy as np
import pytest
from support import run_python

FRAME_MODULES = ("_pairmetric", "_splitscan", "_convkit")
BOUND_MODULES = ("_nearix", "_warpalign")


def module(name):
    return importlib.import_module(f"quillbrax.accel.{name}")


def stub_functions(name):
    """Top-level and class-level function definitions of the installed stub, by dotted name."""
    path = pathlib.Path(module(name).__file__).with_name(f"{name}.pyi")
    tree = ast.parse(path.read_text(), filename=str(path))
    found = {}
    for node in tree.body:
        if isinstance(node, ast.FunctionDef):
            found[node.name] = node.args
        elif isinstance(node, ast.ClassDef):
            for item in node.body:
                if isinstance(item, ast.FunctionDef):
                    found[f"{node.name}.{item.name}"] = item.args
    return found


def test_stub_files_and_marker_are_installed_beside_the_modules_without_sources():
    package = pathlib.Path(module("_pairmetric").__file__).parent
    for name in FRAME_MODULES + BOUND_MODULES:
        assert pathlib.Path(module(name).__file__).parent == package
        assert (package / f"{name}.pyi").is_file(), name
    assert (package.parent / "py.typed").is_file()
    assert not sorted(package.rglob("*.[ch]pp"))


@pytest.mark.parametrize("name", FRAME_MODULES)
def test_frame_stubs_match_the_function_objects(name):
    mod = module(name)
    stubs = stub_functions(name)
    exported = sorted(
        n
        for n, v in vars(mod).items()
        if type(v).__name__.endswith("function") and not n.startswith("__")
    )
    assert sorted(stubs) == exported
    for function_name, args in stubs.items():
        runtime = inspect.signature(getattr(mod, function_name)).parameters.values()
        assert not args.posonlyargs and not args.kwonlyargs and args.vararg is None
        assert [a.arg for a in args.args] == [p.name for p in runtime], function_name
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in runtime)
        stub_defaults = [ast.literal_eval(d) for d in args.defaults]
        runtime_defaults = [p.default for p in runtime if p.default is not p.empty]
        assert stub_defaults == runtime_defaults, function_name


@pytest.mark.parametrize(
    "name, qualname",
    [("_nearix", "KDTree.__init__"), ("_nearix", "KDTree.query"), ("_warpalign", "dtw_path")],
)
def test_bound_stubs_are_positional_only_with_the_generated_arity(name, qualname):
    args = stub_functions(name)[qualname]
    runtime = module(name)
    for part in qualname.split("."):
        runtime = getattr(runtime, part)
    # pybind11 names unnamed parameters arg0, arg1, ... in the signature it generates.
    generated = re.findall(r"\barg\d+:", runtime.__doc__.splitlines()[0])
    params = [a.arg for a in args.posonlyargs if a.arg != "self"]
    assert not args.args and not args.defaults and not args.kwonlyargs
    assert len(params) == len(generated), (params, generated)
    with pytest.raises(TypeError):
        if qualname == "dtw_path":
            runtime(**{p: 1 for p in params})
        else:
            module("_nearix").KDTree(**{params[0]: [[0.0]]})


@pytest.mark.slow
def test_modules_are_built_for_the_running_interpreter_and_import_without_version_warning():
    suffix = importlib.machinery.EXTENSION_SUFFIXES[0]  # the ABI-tagged one, e.g. cpython-312-...
    for name in FRAME_MODULES + BOUND_MODULES:
        assert module(name).__file__.endswith(suffix), module(name).__file__
    status, out, err = run_python("""
        import warnings
        warnings.simplefilter("error")
        from quillbrax.accel import _pairmetric, _splitscan, _convkit
        print("imported")
    """)
    assert (status, out.strip(), err) == (0, "imported", "")


@pytest.mark.slow
@pytest.mark.skipif(
    np.lib.NumpyVersion(np.__version__) >= "2.0.0",
    reason="NumPy 2 refuses its numpy.core native module to NumPy 1.x builds",
)
def test_native_interface_falls_back_to_numpy_core():
    # NumPy 1.26 forwards numpy._core to numpy.core; hiding the forwarder leaves numpy.core.
    status, out, err = run_python("""
        import sys, numpy as np
        sys.modules["numpy._core._multiarray_umath"] = None
        from quillbrax.accel import _pairmetric, _convkit
        print(_pairmetric.pairwise_manhattan_distances(np.ones((1, 2)), np.zeros((1, 2)))[0, 0],
              _convkit.im2col(np.ones((1, 3, 3, 1)), 2, 2)[1:],
              "numpy.core._multiarray_umath" in sys.modules)
    """)
    assert status == 0, err
    assert out.split() == ["2.0", "(2,", "2)", "True"]


# make test-py313 points this at the frame modules of the cp312 wheel: a build loaded into an
# interpreter other than the one it was compiled for must say so, and fail under -W error.
FOREIGN_BUILD = os.environ.get("QUILLBRAX_FOREIGN_BUILD")


@pytest.mark.slow
@pytest.mark.skipif(not FOREIGN_BUILD, reason="no build for another interpreter given")
@pytest.mark.parametrize("name", FRAME_MODULES)
@pytest.mark.parametrize("as_error", [False, True])
def test_build_for_another_interpreter_warns_on_import(name, as_error):
    path = next(pathlib.Path(FOREIGN_BUILD).glob(f"{name}.cpython-*.so"))
    built_for = re.search(r"\.cpython-(\d)(\d+)-", path.name).groups()
    assert built_for != tuple(map(str, sys.version_info[:2]))
    status, out, err = run_python(f"""
        import importlib.machinery, importlib.util, sys, warnings
        import numpy as np
        name, path = "quillbrax.accel.{name}", {str(path)!r}
        loader = importlib.machinery.ExtensionFileLoader(name, path)
        spec = importlib.util.spec_from_file_location(name, path, loader=loader)
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter({"'error'" if as_error else "'always'"})
            try:
                loader.exec_module(importlib.util.module_from_spec(spec))
            except RuntimeWarning as e:
                print("refused:", e)
            else:
                print("loaded")
        for w in caught:
            print(w.category.__name__ + ":", w.message)
    """)
    assert status == 0, err
    message = (
        f"compile time Python version {built_for[0]}.{built_for[1]} of module "
        f"'quillbrax.accel.{name}' does not match runtime version "
        f"{sys.version_info[0]}.{sys.version_info[1]}"
    )
    expected = [f"refused: {message}"] if as_error else ["loaded", f"RuntimeWarning: {message}"]
    assert out.strip().splitlines() == expected


CHECKOUT = pathlib.Path(__file__).resolve().parent.parent


@pytest.mark.slow
@pytest.mark.skipif(
    sorted((CHECKOUT / "quillbrax" / "accel").glob("_*.so")) != [],
    reason="modules built inside the checkout",
)
def test_importing_from_an_unbuilt_checkout_says_how_to_build():
    # From the checkout's root, its quillbrax/ shadows the installed package.
    statements = [f"import quillbrax.accel.{n}" for n in FRAME_MODULES + BOUND_MODULES]
    statements += ["from quillbrax.accel import _nearix", "import quillbrax.accel._nope"]
    code = "\n".join(
        [
            "import importlib, sys",
            "for statement in sys.argv[1:]:",
            "    try:",
            "        exec(statement)",
            "    except ImportError as e:",
            "        print(type(e).__name__, e.name, '|', e)",
            "    else:",
            "        print('imported')",
        ]
    )
    done = subprocess.run(
        [sys.executable, "-c", code, *statements],
        cwd=CHECKOUT,
        capture_output=True,
        text=True,
        timeout=60,
    )
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert len(lines) == len(statements)
    for statement, line in zip(statements[:-1], lines[:-1]):
        name = statement.split()[-1].split(".")[-1]
        kind, full_name, _, message = line.split(" ", 3)
        assert (kind, full_name) == ("ImportError", f"quillbrax.accel.{name}"), line
        assert message.startswith(f"quillbrax.accel.{name} is not built here"), line
        for advice in ("`make build`", "`pip install .`", str(CHECKOUT)):
            assert advice in message, (advice, line)
    # Any other missing name keeps the ordinary error.
    assert lines[-1] == (
        "ModuleNotFoundError quillbrax.accel._nope | No module named 'quillbrax.accel._nope'"
    )
