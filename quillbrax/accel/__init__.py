"""Native acceleration layer of quillbrax.

Importing the package loads no extension module; import each one on its own, for example
``from quillbrax.accel import _pairmetric``.
"""

import importlib.abc
import pathlib
import sys

_MODULES = ("_pairmetric", "_nearix", "_warpalign", "_splitscan", "_convkit")


class _UnbuiltCheckout(importlib.abc.MetaPathFinder):
    """Last resort for the compiled modules of a package imported from its source checkout.

    The checkout's quillbrax/ comes first on sys.path when Python runs from the checkout's root,
    and shadows the built package installed elsewhere; it holds the C++ sources but no compiled
    module. This finder sits at the end of sys.meta_path, so it is asked only after every other
    finder has failed, and then says what to do instead of a bare "No module named"."""

    def find_spec(self, fullname, path=None, target=None):
        package, _, name = fullname.rpartition(".")
        if package != __name__ or name not in _MODULES:
            return None
        here = pathlib.Path(__file__).parent
        if not (here / f"{name}.cpp").is_file():
            return None  # an installed package with a module missing: nothing to add
        # ImportError rather than ModuleNotFoundError: `from quillbrax.accel import _nearix`
        # would silently turn the latter into "cannot import name".
        raise ImportError(
            f"{fullname} is not built here: quillbrax is being imported from its source "
            f"checkout ({here.parent.parent}), which holds the C++ sources but no compiled "
            "module, and shadows any installed copy. Build and install the modules with "
            "`make build` (into .venv) or `pip install .`, then run Python from a directory "
            "outside the checkout, so that the installed package is the one imported.",
            name=fullname,
        )


if not any(
    type(finder).__qualname__ == _UnbuiltCheckout.__qualname__
    and type(finder).__module__ == __name__
    for finder in sys.meta_path
):
    sys.meta_path.append(_UnbuiltCheckout())
