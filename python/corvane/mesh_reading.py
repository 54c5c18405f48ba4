"""Reading tetrahedral meshes with regions from any file meshio reads.

Regions come, in this order of preference, from
- gmsh physical groups: named ones by name (meshio's cell sets of a .msh
  file, or the "gmsh:physical" tags with the file's $PhysicalNames), unnamed
  ones by number; a gmsh file without physical groups by its volume entity
  numbers ("gmsh:geometrical"); tag 0, which gmsh writes for an element in
  no group, is no region;
- cell sets (Abaqus ELSET, Exodus, MED, ...), by name;
- the first integer cell tag among "CellEntityIds" (VTK, XDMF), "medit:ref"
  (Medit .mesh), "tetgen:ref", "avsucd:material", "ugrid:ref", "su2:tag",
  "nastran:ref", "flac3d:zone" and "region" (files written by
  `Solution.write`; -1 is no region), by number;
and otherwise one region "all".
"""
import contextlib
import io
import os
import sys
import warnings

import numpy as np

from corvane.mesh import Mesh

_TAGS = ("CellEntityIds", "medit:ref", "tetgen:ref", "avsucd:material", "ugrid:ref", "su2:tag", "nastran:ref",
         "flac3d:zone", "region")
_HIGHER_ORDER = ("tetra10", "tetra20", "tetra35", "tetra56")


def read_mesh(source):
    """The tetrahedra of a mesh file (any format meshio reads) or a meshio.Mesh, with their regions.

    Returns a `corvane.Mesh`: float64 nodes (n, 3) holding only the nodes the
    tetrahedra use, uint32 connectivity (m, 4), positively oriented, and
    regions {name or number: element indices} (see the module's notes for
    where they come from). Other cells (triangles, lines, points, ...) are
    dropped, with one line on standard error that lists them. Repeated
    elements (MSH 2 files write an element once per physical group) are kept
    once, in all their regions; in MSH 4 files only named groups keep every
    membership, and unnamed ones get a warning. Second-order
    tetrahedra are refused: mesh with first-order elements (gmsh:
    Mesh.ElementOrder = 1).
    """
    import meshio

    if isinstance(source, meshio.Mesh):
        mesh, where = source, "the mesh"
    elif isinstance(source, (str, bytes)) or hasattr(source, "__fspath__"):
        mesh, where = _read_file(source), os.fsdecode(source)
    else:
        raise TypeError(f"read_mesh takes a file name or a meshio.Mesh, got {type(source).__name__}")

    counts = {}
    for block in mesh.cells:
        counts[block.type] = counts.get(block.type, 0) + len(block.data)
    higher = [kind for kind in _HIGHER_ORDER if counts.get(kind)]
    if higher:
        raise ValueError(f"the mesh holds second-order tetrahedra ({', '.join(higher)}): corvane takes "
                         "first-order tetrahedra only; mesh with element order 1 (gmsh: Mesh.ElementOrder = 1)")
    if not counts.get("tetra"):
        found = ", ".join(f"{n} {kind}" for kind, n in counts.items()) or "no cells"
        hint = ("; gmsh saves only the elements of physical groups when there are any: add physical volumes"
                if "gmsh:physical" in mesh.cell_data else "")
        raise ValueError(f"{where} holds no tetrahedra ({found}){hint}")
    dropped = {kind: n for kind, n in counts.items() if kind != "tetra" and n}
    if dropped:
        print("read_mesh: kept the tetrahedra, dropped " + ", ".join(f"{n} {kind}" for kind, n in dropped.items())
              + " cells", file=sys.stderr)

    blocks = [k for k, block in enumerate(mesh.cells) if block.type == "tetra"]
    connectivity = np.concatenate([np.asarray(mesh.cells[k].data, dtype=np.int64) for k in blocks])
    points = np.asarray(mesh.points)
    if points.ndim != 2 or points.shape[1] != 3:
        raise ValueError(f"{where}: the points must have shape (n, 3), got {points.shape}")
    low, high = connectivity.min(), connectivity.max()
    if low < 0 or high >= len(points):
        raise ValueError(f"{where}: a tetrahedron refers to node {low if low < 0 else high}, and the "
                         f"{len(points)} nodes are numbered from 0 to {len(points) - 1}"
                         + ("" if low < 0 or where == "the mesh" else " (is the file cut short?)"))
    regions = _regions(mesh, blocks, len(connectivity))
    if not isinstance(source, meshio.Mesh) and _msh4(source):
        unnamed = sorted(name for name in regions if isinstance(name, int))
        if unnamed and "gmsh:physical" in mesh.cell_data:
            # meshio reads one physical tag per volume from MSH 4 files (the
            # names' groups it reads whole).
            warnings.warn(f"read_mesh: unnamed physical groups {unnamed} in an MSH 4 file: an element in two "
                          "groups is read in the first one only; name the groups (Physical Volume(\"name\")) "
                          "or write MSH 2 to keep every membership", stacklevel=2)
    # MSH 2 files repeat an element once per physical group it belongs to:
    # one copy is kept, in all of their regions.
    _, first, copy_of = np.unique(np.sort(connectivity, axis=1), axis=0, return_index=True, return_inverse=True)
    if len(first) < len(connectivity):
        rank = np.empty(len(first), dtype=np.int64)
        rank[np.argsort(first)] = np.arange(len(first))
        renumber = rank[copy_of.ravel()]
        connectivity = connectivity[np.sort(first)]
        regions = {name: np.unique(renumber[elements]) for name, elements in regions.items()}
    used, connectivity = np.unique(connectivity, return_inverse=True)
    return Mesh(points[used], connectivity.reshape(-1, 4), regions)


def _read_file(path):
    """meshio.read, its failures on an empty, cut short or malformed file as ValueError naming the file."""
    import meshio

    name = os.fsdecode(path)
    if os.stat(path).st_size == 0:  # FileNotFoundError for a missing file
        raise ValueError(f"{name}: the file is empty")
    # meshio prints the readers' complaints and ends the interpreter
    # (SystemExit) when none of the readers for the ending succeeds: its
    # messages are kept for the error, or passed on when the read succeeds.
    out, err = io.StringIO(), io.StringIO()
    try:
        with contextlib.redirect_stdout(out), contextlib.redirect_stderr(err):
            mesh = meshio.read(path)
    except OSError:
        raise
    except (Exception, SystemExit) as error:
        said = " ".join((out.getvalue() + err.getvalue()).split())
        # The readers fail on a file cut short with whatever numpy says of
        # the arrays they read ("cannot reshape array of size ...").
        cause = f"{type(error).__name__}: {error}" if isinstance(error, Exception) else said
        if "Incompatible cell data 'gmsh:" in cause:
            # A valid file meshio cannot take: MSH 4 with elements outside the physical groups.
            raise ValueError(f"{name}: meshio cannot read this MSH 4 file ({cause}), as with gmsh's "
                             "Mesh.SaveAll = 1: save only the physical groups (give the air one too), "
                             "or save as MSH 2 (Mesh.MshFileVersion = 2.2)") from None
        raise ValueError(f"{name}: not a readable mesh, cut short or malformed ({cause})") from None
    sys.stdout.write(out.getvalue())
    sys.stderr.write(err.getvalue())
    return mesh


def _msh4(path):
    """Whether the file is a gmsh MSH file of version 4."""
    try:
        with open(path, "rb") as file:
            head = file.read(32).split()
    except (OSError, TypeError, ValueError):
        return False
    return len(head) > 1 and head[0] == b"$MeshFormat" and head[1].startswith(b"4")


def _regions(mesh, blocks, n_elements):
    offsets = np.cumsum([0] + [len(mesh.cells[k].data) for k in blocks])

    def from_sets(sets):
        regions = {}
        for name, per_block in sets.items():
            if str(name).startswith("gmsh:"):
                continue
            parts = [np.asarray(per_block[k], dtype=np.int64) + offsets[i] for i, k in enumerate(blocks)
                     if k < len(per_block) and per_block[k] is not None and len(per_block[k])]
            if parts:
                regions[name] = np.concatenate(parts)
        return regions

    def tag_values(key):
        return np.concatenate([np.asarray(mesh.cell_data[key][k]).reshape(len(mesh.cells[k].data), -1)[:, 0]
                               for k in blocks]).astype(np.int64)

    def from_tags(values, names=None, lowest=0):
        regions = {}
        for tag in np.unique(values):
            if tag >= lowest:
                regions[(names or {}).get(int(tag), int(tag))] = np.flatnonzero(values == tag)
        return regions

    # gmsh numbers groups and volumes from 1: a tag 0 is an element in none
    # (MSH 2 files saved with every element, or written by meshio without
    # groups). Without any other tag, the next source is asked.
    if "gmsh:physical" in mesh.cell_data:
        # Named groups may share elements; meshio's cell sets keep them all,
        # the physical tag only the first group of each element.
        names = {int(tag): name for name, (tag, dim) in ((n, np.ravel(v)[:2]) for n, v in mesh.field_data.items())
                 if dim == 3}
        regions = from_sets(mesh.cell_sets)
        for key, elements in from_tags(tag_values("gmsh:physical"), names, lowest=1).items():
            regions.setdefault(key, elements)
        if regions:
            return regions
    if "gmsh:geometrical" in mesh.cell_data:
        regions = from_tags(tag_values("gmsh:geometrical"), lowest=1)
        if regions:
            return regions
    regions = from_sets(mesh.cell_sets)
    if regions:
        return regions
    for key in _TAGS:
        if key in mesh.cell_data:
            return from_tags(tag_values(key))
    return {"all": np.arange(n_elements)}
