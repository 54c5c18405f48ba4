"""Argument checks shared by the package: clear TypeError/ValueError before any work."""
import numbers

import numpy as np

UINT32_MAX = 2**32 - 1

# Lengths the field computations can carry in float64: coordinates up to
# 1e30 m in magnitude, elements of at least 1e-30 m (their cubes, products and
# reciprocals then stay far from overflow and underflow). The same limits as
# the extension's own checks.
MAX_COORDINATE = 1e30
MIN_ELEMENT_SIZE = 1e-30


def real_array(name, value):
    """`value` as a C-contiguous, aligned float64 array; integers and floats only.

    Aligned: arrays received over a network or read from a buffer can sit at
    odd offsets, which the extension refuses to read in place.
    """
    array = np.asarray(value)
    if array.dtype == np.bool_ or not (np.issubdtype(array.dtype, np.integer)
                                       or np.issubdtype(array.dtype, np.floating)):
        raise TypeError(f"{name} must be a real array, got dtype {array.dtype}")
    return np.require(array, dtype=np.float64, requirements=["C", "A"])


def points(name, value, allow_empty=True):
    """A finite (n, 3) float64 array."""
    array = real_array(name, value)
    if array.ndim != 2 or array.shape[1] != 3:
        raise ValueError(f"{name} must have shape (n, 3), got {array.shape}")
    if not allow_empty and len(array) == 0:
        raise ValueError(f"{name} must not be empty")
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must be finite")
    _coordinate_range(name, array)
    return array


def _coordinate_range(name, array):
    largest = float(np.abs(array).max(initial=0.0))
    if largest > MAX_COORDINATE:
        raise ValueError(f"{name}: a coordinate of magnitude {largest:.3g} m, above {MAX_COORDINATE:.0e} m: fields "
                         "at such distances cannot be computed in float64; give lengths in smaller units or move "
                         "the part nearer the origin")


def _element_sizes(nodes, connectivity):
    """Refuses elements of nonzero size (largest coordinate difference from node 0) below MIN_ELEMENT_SIZE."""
    if not len(connectivity):
        return
    first = nodes[connectivity[:, 0]]
    size = np.zeros(len(connectivity))
    for k in (1, 2, 3):
        np.maximum(size, np.abs(nodes[connectivity[:, k]] - first).max(axis=1), out=size)
    small = np.flatnonzero((size > 0.0) & (size < MIN_ELEMENT_SIZE))
    if small.size:
        e = small[0]
        raise ValueError(f"element {e} has a size of {size[e]:.3g} m, below {MIN_ELEMENT_SIZE:.0e} m "
                         f"({small.size} such elements): fields of such small parts cannot be computed in float64; "
                         "give lengths in larger units")


def mesh(nodes, connectivity):
    """Finite (n_nodes, 3) float64 nodes and C-contiguous uint32 (n_elements, 4) connectivity."""
    nodes = real_array("nodes", nodes)
    if nodes.ndim != 2 or nodes.shape[1] != 3:
        raise ValueError(f"nodes must have shape (n_nodes, 3), got {nodes.shape}")
    if not np.isfinite(nodes).all():
        raise ValueError("nodes must be finite")
    if len(nodes) > UINT32_MAX:
        raise ValueError(f"at most {UINT32_MAX} nodes are supported, got {len(nodes)}")
    connectivity = np.asarray(connectivity)
    if connectivity.dtype == np.bool_ or not np.issubdtype(connectivity.dtype, np.integer):
        raise TypeError(f"connectivity must be an integer array, got dtype {connectivity.dtype}")
    if connectivity.ndim != 2 or connectivity.shape[1] != 4:
        raise ValueError(f"connectivity must have shape (n_elements, 4), got {connectivity.shape}")
    if connectivity.size and (connectivity.min() < 0 or connectivity.max() >= len(nodes)):
        raise ValueError(f"connectivity must hold node indices from 0 to {len(nodes) - 1}")
    connectivity = np.require(connectivity, dtype=np.uint32, requirements=["C", "A"])
    _coordinate_range("nodes", nodes)
    _element_sizes(nodes, connectivity)
    return nodes, connectivity


def real(name, value):
    if isinstance(value, bool) or not isinstance(value, numbers.Real):
        raise TypeError(f"{name} must be a real number, got {type(value).__name__}")
    return float(value)


def count(name, value, minimum, maximum=UINT32_MAX):
    if isinstance(value, bool) or not isinstance(value, numbers.Integral):
        raise TypeError(f"{name} must be an integer, got {type(value).__name__}")
    if not minimum <= value <= maximum:
        raise ValueError(f"{name} must be from {minimum} to {maximum}, got {value}")
    return int(value)


def flag(name, value):
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False, got {type(value).__name__}")
    return bool(value)
