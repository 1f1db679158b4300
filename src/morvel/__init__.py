"""morvel: exact, reproducible native random forests."""

from morvel._core import NativeForest

__all__ = ["NativeForest"]
__version__ = "0.1.0"
