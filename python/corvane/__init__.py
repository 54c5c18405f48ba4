"""Corvane: magnetostatics on tetrahedral meshes.

The numerical work is done by the extension module `_corvane`; this package is
the thin layer above it.
"""
from corvane.magnetization import solve_magnetization
from corvane.mesh import orient, signed_volumes
from corvane.operator import FieldOperator

__all__ = ["FieldOperator", "orient", "signed_volumes", "solve_magnetization"]
