"""Module initialisation and the function objects of a frame module (re-import and other
interpreters: test_lifecycle.py)."""

import copy
import ctypes
import importlib
import inspect
import pickle
import pydoc
import sys
import textwrap

import numpy as np
import pytest
from support import run_python

from quillbrax.accel import _pairmetric

FUNCTIONS = [
    (
        "pairwise_squared_euclidean",
        11,
        ("X", "Y", "n", "m", "d", "out", "i", "j", "k", "diff", "acc"),
    ),
    ("pairwise_distances", 30, ("X", "Y", "n", "m", "d", "out", "i", "j", "k", "diff", "acc")),
    ("pairwise_manhattan_distances", 49, ("X", "Y", "n", "m", "d", "out", "i", "j", "k", "acc")),
]


@pytest.mark.parametrize("name, line, varnames", FUNCTIONS)
def test_function_objects(name, line, varnames):
    function = getattr(_pairmetric, name)
    assert function.__name__ == function.__qualname__ == name
    assert function.__module__ == "quillbrax.accel._pairmetric"
    assert function.__doc__ is None and function.__defaults__ is None
    code = function.__code__
    assert code.co_varnames == varnames and code.co_argcount == 2
    assert code.co_firstlineno == line and code.co_filename == "quillbrax/accel/_pairmetric"
    assert str(inspect.signature(function)) == "(X, Y)"
    assert f"{name}(X, Y)" in pydoc.render_doc(function, renderer=pydoc.plaintext)


FRAME_FUNCTIONS = [
    ("_pairmetric", "pairwise_squared_euclidean"),
    ("_pairmetric", "pairwise_distances"),
    ("_pairmetric", "pairwise_manhattan_distances"),
    ("_splitscan", "_best_split_classifier"),
    ("_splitscan", "_best_split_regressor"),
    ("_convkit", "im2col"),
    ("_convkit", "col2im"),
    ("_convkit", "maxpool_forward"),
    ("_convkit", "maxpool_backward"),
]


@pytest.mark.parametrize("module, name", FRAME_FUNCTIONS)
def test_function_objects_pickle_and_copy_by_reference(module, name):
    function = getattr(importlib.import_module(f"quillbrax.accel.{module}"), name)
    for protocol in range(pickle.HIGHEST_PROTOCOL + 1):
        payload = pickle.dumps(function, protocol=protocol)
        assert pickle.loads(payload) is function
        assert f"quillbrax.accel.{module}".encode() in payload  # by reference, not by value
    assert copy.copy(function) is function and copy.deepcopy(function) is function
    assert copy.deepcopy([function])[0] is function


def test_module_attributes():
    assert _pairmetric.__doc__ == "Accelerated pairwise distance routines."
    assert _pairmetric.np is np
    assert _pairmetric.__test__ == {}
    assert [k for k in vars(_pairmetric) if k.startswith("pairwise")] == [
        "pairwise_squared_euclidean",
        "pairwise_distances",
        "pairwise_manhattan_distances",
    ]
    assert "pairwise_distances(X, Y)" in pydoc.render_doc(_pairmetric, renderer=pydoc.plaintext)


def test_executing_for_a_foreign_module_object_is_refused():
    library = ctypes.PyDLL(_pairmetric.__file__)
    library.PyInit__pairmetric.restype = ctypes.c_void_p
    definition = library.PyInit__pairmetric()
    execute = ctypes.pythonapi.PyModule_ExecDef
    execute.argtypes = [ctypes.py_object, ctypes.c_void_p]
    execute.restype = ctypes.c_int
    with pytest.raises(RuntimeError) as caught:
        execute(type(sys)("quillbrax.accel._pairmetric"), definition)
    assert str(caught.value) == (
        "Module '_pairmetric' has already been imported. Re-initialisation is not supported."
    )
    assert execute(_pairmetric, definition) == 0  # the module itself: nothing to do


# Each scenario breaks one step of initialisation in a fresh interpreter, checks the error and its
# traceback entry, then repairs the cause and imports again.
INIT_FAILURES = {
    "native interface not a capsule": (
        """
        import types
        real = sys.modules["numpy._core._multiarray_umath"]
        sys.modules["numpy._core._multiarray_umath"] = types.SimpleNamespace(_ARRAY_API=42)
    """,
        """
        sys.modules["numpy._core._multiarray_umath"] = real
    """,
        "ImportError",
        "numpy.core.multiarray failed to import (",
        1,
    ),
    "native interface module missing": (
        """
        real = sys.modules["numpy._core._multiarray_umath"]
        sys.modules["numpy._core._multiarray_umath"] = None   # falls back to numpy.core
        sys.modules["numpy.core._multiarray_umath"] = None
    """,
        """
        sys.modules["numpy._core._multiarray_umath"] = real
    """,
        "ImportError",
        "numpy.core.multiarray failed to import (",
        1,
    ),
    "ndarray is not a type": (
        """
        real = numpy.ndarray
        numpy.ndarray = 5
    """,
        """
        numpy.ndarray = real
    """,
        "TypeError",
        "numpy.ndarray is not a type object",
        1,
    ),
    "numpy import refused": (
        """
        import builtins
        real = builtins.__import__
        def refuse(name, *args, **kwargs):
            if name == "numpy":
                raise ImportError("numpy refused")
            return real(name, *args, **kwargs)
        builtins.__import__ = refuse
    """,
        """
        builtins.__import__ = real
    """,
        "ImportError",
        "numpy refused",
        1,
    ),
}


@pytest.mark.slow
@pytest.mark.parametrize("scenario", sorted(INIT_FAILURES))
def test_failed_initialisation_leaves_the_module_importable(scenario):
    breaking, repairing, error, message, line = INIT_FAILURES[scenario]
    # NumPy 1.26 imports its numpy._core forwarding modules only on demand, NumPy 2 with numpy.
    code = (
        (
            "import sys, traceback, numpy, numpy._core._multiarray_umath\n"
            + textwrap.dedent(breaking)
        )
        + textwrap.dedent("""
        try:
            import quillbrax.accel._pairmetric
        except BaseException as e:
            frames = traceback.extract_tb(e.__traceback__)
            entries = [(f.filename, f.name, f.lineno) for f in frames]
            print(type(e).__name__, "|", e, "|", entries,
                  "|", e.__context__ is None)
        else:
            print("imported")
        """)
        + textwrap.dedent(repairing)
        + textwrap.dedent("""
        import numpy as np
        from quillbrax.accel import _pairmetric
        print("again", _pairmetric.pairwise_distances(np.ones((1, 1)), np.zeros((1, 1)))[0, 0])
        """)
    )
    status, out, err = run_python(code)
    assert status == 0, err
    first, second = out.strip().splitlines()[-2:]
    kind, text, entry, no_context = (part.strip() for part in first.split("|"))
    assert kind == error and text.startswith(message)
    assert repr(("quillbrax/accel/_pairmetric", "init quillbrax.accel._pairmetric", line)) in entry
    if error == "ImportError" and "numpy.core" in message:
        assert no_context == "True"  # the underlying exception is discarded
    assert second == "again 1.0"
