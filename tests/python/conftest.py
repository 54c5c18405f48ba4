"""Shared fixtures: small meshes and the module's PanicException type."""
import numpy as np
import pytest

import _corvane


def _panic_type():
    # PanicException is not a module attribute: provoke one internal failure.
    nodes = np.zeros((4, 3))
    conn = np.array([[0, 1, 2, 3]], dtype=np.uint32)
    try:
        _corvane.calculate_fields(nodes, conn, np.zeros((1, 3)), 1, 1, np.zeros((0, 3)),
                                  False, 1, False, 0.5, 1, 10, 10)
    except BaseException as exc:  # noqa: BLE001 - this is the point
        return type(exc)
    raise AssertionError("no internal failure raised")


PanicException = _panic_type()


@pytest.fixture
def panic():
    return PanicException


REFERENCE = np.array([[0.0, 0.0, 0.0], [1.0, 0.0, 0.0], [0.0, 1.0, 0.0], [0.0, 0.0, 1.0]])


def unit_tet():
    return REFERENCE.copy(), np.array([[0, 1, 2, 3]], dtype=np.uint32)

# Six positively oriented tetrahedra per hexahedron around its 0-7 diagonal
# (corner index = i + 2j + 4k); neighbouring cells share their face diagonals.
KUHN = np.array([[0, 1, 3, 7], [0, 3, 2, 7], [0, 2, 6, 7], [0, 6, 4, 7], [0, 4, 5, 7], [0, 5, 1, 7]])


def box_mesh(shape=(3, 2, 4), size=(2.0, 1.0, 3.0)):
    """Box [0, size] cut into shape hexahedra, each split into six tetrahedra."""
    (nx, ny, nz), axes = shape, [np.linspace(0.0, s, n + 1) for s, n in zip(size, shape)]
    nodes = np.stack(np.meshgrid(*axes, indexing="ij"), axis=-1).transpose(2, 1, 0, 3).reshape(-1, 3)
    k, j, i = np.meshgrid(np.arange(nz), np.arange(ny), np.arange(nx), indexing="ij")
    base = (i + (nx + 1) * (j + (ny + 1) * k)).ravel()
    corner = np.array([a + (nx + 1) * (b + (ny + 1) * c) for c in (0, 1) for b in (0, 1) for a in (0, 1)])
    return nodes, (base[:, None, None] + corner[KUHN]).reshape(-1, 4).astype(np.uint32)


def expect_panic(message, fn, *args):
    with pytest.raises(BaseException) as info:
        fn(*args)
    assert type(info.value).__name__ == "PanicException" and str(info.value) == message
