"""Corvane: magnetostatics on tetrahedral meshes.

The numerical work is done by the extension module `_corvane`; this package is
the thin layer above it: reading meshes with regions, models of magnets, soft
parts and coils, their solution, fields, forces, files and pictures.
"""
from corvane.magnetization import solve_magnetization
from corvane.mesh import Mesh, orient, signed_volumes
from corvane.mesh_reading import read_mesh
from corvane.model import Model
from corvane.operator import FieldOperator
from corvane.solution import Solution

__all__ = ["FieldOperator", "Mesh", "Model", "Solution", "orient", "read_mesh", "signed_volumes",
           "solve_magnetization"]
