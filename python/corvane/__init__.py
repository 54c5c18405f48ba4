"""Corvane: magnetostatics on tetrahedral meshes.

The numerical work is done by the extension module `_corvane`; this package is
the thin layer above it.
"""
from corvane.magnetization import solve_magnetization

__all__ = ["solve_magnetization"]
