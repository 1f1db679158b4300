"""morvel: exact, reproducible native random forests."""

import importlib.machinery
import importlib.util
import sys

from morvel import _core
from morvel._core import NativeForest


def _load_sibling(name):
    # Every extension module lives in the `_core` shared library; the others are loaded
    # from the same file under their own names.
    if name in sys.modules:
        return sys.modules[name]
    loader = importlib.machinery.ExtensionFileLoader(name, _core.__file__)
    spec = importlib.util.spec_from_file_location(name, _core.__file__, loader=loader)
    module = importlib.util.module_from_spec(spec)
    sys.modules[name] = module
    try:
        loader.exec_module(module)
    except BaseException:
        del sys.modules[name]
        raise
    return module


_boruta_core = _load_sibling("morvel._boruta_core")
_native = _load_sibling("morvel._native")

# Raised when an internal invariant of the native code fails. It derives from BaseException,
# so `except Exception` does not swallow it; catch it by this name.
PanicException = _native.PanicException

from morvel.boruta import Boruta  # noqa: E402
from morvel.forest import ExtraTreesClassifier, RandomForestClassifier  # noqa: E402

__all__ = ["Boruta", "ExtraTreesClassifier", "NativeForest", "PanicException", "RandomForestClassifier"]
__version__ = "0.1.0"
