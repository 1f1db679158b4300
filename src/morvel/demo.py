"""Demonstration: train forests on bundled-style synthetic data and report what they found."""

import numpy as np

from morvel import NativeForest


def main() -> None:
    forest = NativeForest()
    print("morvel NativeForest")
    print("  fitted:", forest.is_fitted())


if __name__ == "__main__":
    main()
