"""The module boundary: registration, argument matching and conversion,
readers, result arrays and the way failures reach Python."""
import inspect
import resource
import subprocess
import sys

import numpy as np
import pytest

import _corvane
from conftest import PanicException, skip_under_asan, unit_tet

NAMES = ["calculate_fields", "magnetization_solve", "mesh_centroids", "mesh_volumes",
         "mesh_surface_faces", "mesh_surface_face_properties", "mesh_surface_forces",
         "_mesh_surface_tets", "mesh_kelvin_force_density", "atan2"]

CF_PARAMS = ["src_nodes", "src_connectivity", "src_vectors", "src_vector_type", "requested_field",
             "targets", "element_integration", "n_threads_requested", "use_octree", "theta",
             "multipole_order", "max_leaf_size", "batch_size"]


def cf_args(**overrides):
    nodes, conn = unit_tet()
    args = dict(src_nodes=nodes, src_connectivity=conn, src_vectors=np.array([[0.0, 0, 1]]),
                src_vector_type=1, requested_field=1, targets=np.array([[2.0, 1, 0.5]]),
                element_integration=False, n_threads_requested=1, use_octree=False, theta=0.5,
                multipole_order=1, max_leaf_size=10, batch_size=10)
    args.update(overrides)
    return args


def test_all_lists_functions_in_registration_order():
    assert _corvane.__all__ == NAMES
    for name in NAMES:
        assert getattr(_corvane, name).__module__ == "_corvane"


def test_text_signatures_give_parameter_names():
    assert list(inspect.signature(_corvane.calculate_fields).parameters) == CF_PARAMS
    assert list(inspect.signature(_corvane.magnetization_solve).parameters)[-1] == "verbose"
    assert _corvane._mesh_surface_tets.__text_signature__ == "(nodes, faces, centroids, normals)"
    for name in NAMES:
        params = inspect.signature(getattr(_corvane, name)).parameters.values()
        assert all(p.kind is p.POSITIONAL_OR_KEYWORD and p.default is p.empty for p in params)


def test_import_does_not_import_numpy():
    code = "import sys, _corvane; print('numpy' in sys.modules)"
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "False"


@pytest.mark.parametrize("call, message", [
    (lambda: _corvane.calculate_fields(*cf_args().values(), 1),
     "calculate_fields() takes 13 positional arguments but 14 were given"),
    (lambda: _corvane.atan2(np.zeros(1), np.zeros(1), np.zeros(1)),
     "atan2() takes 2 positional arguments but 3 were given"),
    (lambda: _corvane.calculate_fields(**cf_args(), colour=1),
     "calculate_fields() got an unexpected keyword argument 'colour'"),
    (lambda: _corvane.atan2(np.zeros(1), yvals=np.zeros(1)),
     "atan2() got multiple values for argument 'yvals'"),
    (lambda: _corvane.calculate_fields(*list(cf_args().values())[:12]),
     "calculate_fields() missing 1 required positional argument: 'batch_size'"),
    (lambda: _corvane.calculate_fields(*list(cf_args().values())[:10]),
     "calculate_fields() missing 3 required positional arguments: "
     "'multipole_order', 'max_leaf_size' and 'batch_size'"),
    (lambda: _corvane.mesh_volumes(connectivity=np.zeros((0, 4), np.uint32)),
     "mesh_volumes() missing 1 required positional argument: 'nodes'"),
])
def test_argument_matching_messages(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


@pytest.mark.parametrize("name, value, message", [
    ("use_octree", 1, "argument 'use_octree': 'int' object is not an instance of 'bool'"),
    ("element_integration", None, "argument 'element_integration': 'None' is not an instance of 'bool'"),
    ("src_connectivity", np.array([[0, 1, 2, 3]], dtype=np.int64),
     "argument 'src_connectivity': 'ndarray' object is not an instance of 'ndarray'"),
    ("src_nodes", np.zeros((4, 3), dtype=np.float32),
     "argument 'src_nodes': 'ndarray' object is not an instance of 'ndarray'"),
    ("src_nodes", np.zeros(12), "argument 'src_nodes': 'ndarray' object is not an instance of 'ndarray'"),
    ("src_nodes", np.zeros((4, 3)).astype(">f8"),
     "argument 'src_nodes': 'ndarray' object is not an instance of 'ndarray'"),
    ("targets", [[0.0, 0.0, 0.0]], "argument 'targets': 'list' object is not an instance of 'ndarray'"),
    ("src_vectors", None, "argument 'src_vectors': 'None' is not an instance of 'ndarray'"),
    ("n_threads_requested", 2.0, "argument 'n_threads_requested': "),
    ("theta", "wide", "argument 'theta': "),
])
def test_conversion_refusals(name, value, message):
    with pytest.raises(TypeError) as info:
        _corvane.calculate_fields(**cf_args(**{name: value}))
    assert str(info.value).startswith(message)


@pytest.mark.parametrize("name, value, message", [
    ("n_threads_requested", -1, None),
    ("n_threads_requested", 2**32, "out of range integral type conversion attempted"),
    ("batch_size", -5, None),
    ("requested_field", 2**64, None),
])
def test_count_overflow(name, value, message):
    with pytest.raises(OverflowError) as info:
        _corvane.calculate_fields(**cf_args(**{name: value}))
    if message:
        assert str(info.value) == message


@pytest.mark.parametrize("overrides", [
    dict(use_octree=np.bool_(False), element_integration=np.False_),
    dict(theta=1, n_threads_requested=np.uint8(3), max_leaf_size=2**32 - 1),
])
def test_accepted_argument_forms(overrides):
    base = _corvane.calculate_fields(**cf_args())
    np.testing.assert_array_equal(_corvane.calculate_fields(**cf_args(**overrides)), base)


def test_strided_sources_refused_strided_targets_read():
    nodes, _ = unit_tet()
    wide = np.zeros((8, 3))
    wide[::2] = nodes
    with pytest.raises(TypeError, match=r"^The given array is not contiguous or is misaligned\.$"):
        _corvane.calculate_fields(**cf_args(src_nodes=wide[::2]))
    targets = np.zeros((4, 5))
    targets[::2, 1:4] = [[2.0, 1, 0.5], [0.1, -3, 2]]
    view = targets[::2, 1:4]
    np.testing.assert_array_equal(_corvane.calculate_fields(**cf_args(targets=view)),
                                  _corvane.calculate_fields(**cf_args(targets=np.ascontiguousarray(view))))


def test_fortran_ordered_sources_are_read_in_row_order():
    nodes, conn = unit_tet()
    nodes = nodes + [0.1, 0.2, 0.3]
    conn = np.array([[0, 1, 2, 3], [1, 0, 2, 3]], dtype=np.uint32)[:1]
    vectors = np.array([[0.3, -1.0, 2.0]])
    c_result = _corvane.calculate_fields(**cf_args(src_nodes=nodes, src_connectivity=conn, src_vectors=vectors))
    f_result = _corvane.calculate_fields(**cf_args(src_nodes=np.asfortranarray(nodes),
                                                   src_connectivity=np.asfortranarray(conn),
                                                   src_vectors=np.asfortranarray(vectors)))
    np.testing.assert_array_equal(f_result, c_result)


@pytest.mark.parametrize("targets, message", [
    (np.zeros((5, 2)), "ndarray: index out of bounds"),
    (np.zeros((0, 2)), "chunk size must be non-zero"),
    (np.zeros((0, 3)), "chunk size must be non-zero"),
])
def test_target_shapes_that_stop(targets, message):
    with pytest.raises(PanicException) as info:
        _corvane.calculate_fields(**cf_args(targets=targets))
    assert info.value.args == (message,)


def test_result_array_owns_module_buffer():
    result = _corvane.calculate_fields(**cf_args(targets=np.ones((7, 3))))
    assert result.shape == (7, 3) and result.dtype == np.float64
    assert result.flags.c_contiguous and result.flags.writeable
    base = result
    while isinstance(base.base, np.ndarray):
        base = base.base
    assert type(base.base).__name__ == "PySliceContainer"


def _rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * resource.getpagesize()


@skip_under_asan
def test_deleting_results_frees_their_buffers():
    targets = np.ones((1_000_000, 3))
    args = cf_args(targets=targets, src_connectivity=np.zeros((0, 4), np.uint32))
    _corvane.calculate_fields(**args)  # warm up the allocator
    before = _rss_bytes()
    for _ in range(20):  # 24 MB each; kept buffers would add ~480 MB
        result = _corvane.calculate_fields(**args)
        del result
    assert _rss_bytes() - before < 100e6


def test_panic_exception_is_not_an_exception():
    assert PanicException.__bases__ == (BaseException,)
    assert PanicException.__doc__
    with pytest.raises(PanicException):
        try:
            _corvane.calculate_fields(**cf_args(targets=np.zeros((0, 3))))
        except Exception:  # noqa: BLE001 - must not catch it
            pytest.fail("PanicException caught by except Exception")


def test_internal_failure_reported_on_stderr():
    code = ("import numpy as np, _corvane\n"
            "try:\n"
            "    _corvane.calculate_fields(np.zeros((4, 3)), np.array([[0, 1, 2, 4]], np.uint32),"
            " np.zeros((1, 3)), 1, 1, np.zeros((3, 3)), False, 2, False, 0.5, 1, 1, 1)\n"
            "except BaseException as e:\n"
            "    print(type(e).__name__, e)\n")
    out = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True, check=True)
    assert out.stdout.strip() == "PanicException a scoped thread panicked"
    assert "index out of bounds: the len is 4 but the index is 4" in out.stderr


@skip_under_asan
def test_allocation_failure_is_memory_error():
    huge = np.broadcast_to(np.zeros(3), (2**44, 3))
    with pytest.raises(MemoryError):
        _corvane.calculate_fields(**cf_args(targets=huge))


# Conversions of later arguments run user code (__index__, __float__); arrays
# converted before must be read as they are once every argument is converted.
def _resize(a):
    a.resize((1, 3))


def _reshape(a):
    a.shape = (a.shape[1], a.shape[0])


def _retype(a):
    a.dtype = np.int64


@pytest.mark.parametrize("mutate", [_resize, _reshape, _retype])
@pytest.mark.parametrize("param", ["n_threads_requested", "theta"])
def test_arrays_changed_by_later_conversions_are_read_safely(mutate, param):
    held = [np.full((300_000, 3), 2.0)]

    class Hostile:
        def __index__(self):
            mutate(held.pop())
            return 1

        __float__ = lambda self: float(self.__index__())  # noqa: E731

    args = cf_args(targets=held[0])
    args[param] = Hostile()
    try:
        result = _corvane.calculate_fields(**args)
    except (ValueError, TypeError):
        return  # refused: the array is referenced by the call, or no longer float64 (N, 3)
    expected = _corvane.calculate_fields(**cf_args(targets=np.full((result.shape[0], 3), 2.0)))
    np.testing.assert_array_equal(result, expected)


@pytest.mark.parametrize("fn", [_corvane.mesh_centroids, _corvane.mesh_volumes])
def test_outputs_are_sized_after_validation(fn):
    nodes = np.zeros((4, 3))
    broadcast = np.broadcast_to(np.zeros((1, 4), np.uint32), (2**24, 4))
    with pytest.raises(TypeError, match="not contiguous"):
        fn(nodes, broadcast)
    no_columns = np.lib.stride_tricks.as_strided(np.zeros(4, np.uint32), shape=(2**59, 0), strides=(0, 4))
    with pytest.raises(PanicException, match="left: 0, right: 576460752303423488"):
        fn(nodes, no_columns)


@skip_under_asan
def test_sizes_past_any_container_are_memory_errors():
    targets = np.lib.stride_tricks.as_strided(np.zeros(3), shape=(2**58, 3), strides=(0, 8))
    with pytest.raises(MemoryError):
        _corvane.calculate_fields(**cf_args(targets=targets))


def test_unencodable_keyword_is_an_unexpected_keyword():
    x = np.zeros(1)
    with pytest.raises(TypeError) as info:
        _corvane.atan2(x, x, **{"\udc80": 1})
    assert str(info.value) == "atan2() got an unexpected keyword argument '\udc80'"
