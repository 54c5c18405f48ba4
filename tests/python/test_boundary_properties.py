"""Property tests of every exported function's boundary: whatever the
arguments, a call returns new arrays of the documented shapes and dtypes or
raises one of the documented exceptions with a message, and the caller's
arrays are left as they were, byte for byte."""
import operator

import numpy as np
import pytest
from hypothesis import given, note
from hypothesis import strategies as st

import _corvane
from conftest import UNDER_ASAN, PanicException

COUNT_EDGES = [0, 1, 2**32 - 1, 2**32]


class Index:
    """An integer by the index protocol only."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value

    def __repr__(self):
        return f"Index({self.value!r})"


class Real:
    """A number by the float protocol only."""

    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value

    def __repr__(self):
        return f"Real({self.value!r})"


class SubArray(np.ndarray):
    pass


# ------------------------------------------------------------ the parameters

class Param:
    """One parameter. Arrays have a shape rule over the call's sizes (n nodes,
    m elements, t targets, f faces), a dtype, the size index values must stay
    below, and whether the function walks them row by row (any layout) rather
    than viewing them flat. Scalars have a few valid values."""

    def __init__(self, name, kind, shape=None, dtype=None, bound=None, row_walk=False, choices=()):
        self.name, self.kind, self.shape, self.dtype = name, kind, shape, dtype
        self.bound, self.row_walk, self.choices = bound, row_walk, choices

    def valid(self, rng, sizes):
        if self.kind != "array":
            return self.choices[rng.integers(len(self.choices))]
        shape = self.shape(sizes)
        if self.dtype == np.uint32:
            bound = sizes[self.bound]
            if len(shape) == 2 and bound >= shape[1]:  # distinct nodes per row: mostly proper elements
                rows = [rng.choice(bound, shape[1], replace=False) for _ in range(shape[0])]
                return np.array(rows, dtype=np.uint32).reshape(shape)
            return rng.integers(0, max(bound, 1), size=shape).astype(np.uint32)
        return rng.uniform(-2.0, 2.0, size=shape)


def floats(name, shape, row_walk=False):
    return Param(name, "array", shape, np.float64, row_walk=row_walk)


def indices(name, shape, bound):
    return Param(name, "array", shape, np.uint32, bound=bound)


def count(name, *choices):
    return Param(name, "count", choices=choices)


def real(name, *choices):
    return Param(name, "real", choices=choices)


def flag(name, *choices):
    return Param(name, "flag", choices=choices)


def rows(key, cols):
    return lambda s: (s[key], cols)


def flat(key, per_row=1):
    return lambda s: (per_row * s[key],)


FUNCTIONS = {
    "calculate_fields": [
        floats("src_nodes", rows("n", 3)), indices("src_connectivity", rows("m", 4), "n"),
        floats("src_vectors", rows("m", 3)), count("src_vector_type", 0, 1, 2), count("requested_field", 0, 1, 2),
        floats("targets", rows("t", 3), row_walk=True), flag("element_integration", True, False),
        count("n_threads_requested", 0, 1, 2, 3), flag("use_octree", False, True), real("theta", 0.0, 0.5, 1.0),
        count("multipole_order", 0, 1, 2, 3), count("max_leaf_size", 1, 2, 8), count("batch_size", 1, 2, 16)],
    "magnetization_solve": [
        floats("nodes", rows("n", 3)), indices("connectivity", rows("m", 4), "n"),
        floats("centroids", rows("m", 3), row_walk=True), real("chi", 0.0, 0.1, 1.0),
        floats("h_ext", rows("m", 3), row_walk=True), flag("element_integration", True, False),
        count("n_threads_requested", 0, 1, 2), real("atol", np.inf, 1e-6, 0.0), count("max_iterations", 0, 1, 3),
        real("under_relaxation_factor", 0.5, 1.0), flag("use_octree", False, True), real("theta", 0.0, 0.5),
        count("multipole_order", 1, 2), count("max_leaf_size", 1, 2, 8), count("batch_size", 1, 2, 16),
        flag("verbose", False)],
    "mesh_centroids": [floats("nodes", rows("n", 3)), indices("connectivity", rows("m", 4), "n")],
    "mesh_volumes": [floats("nodes", rows("n", 3)), indices("connectivity", rows("m", 4), "n")],
    "mesh_surface_faces": [indices("connectivity", rows("m", 4), "n")],
    "mesh_surface_face_properties": [floats("nodes", rows("n", 3)), indices("faces", rows("f", 3), "n")],
    "mesh_surface_forces": [floats("face_areas", flat("f")), floats("face_normals", rows("f", 3)),
                            floats("b_field", rows("f", 3))],
    "_mesh_surface_tets": [floats("nodes", flat("n", 3)), indices("faces", flat("f", 3), "n"),
                           floats("centroids", flat("f", 3)), floats("normals", flat("f", 3))],
    "mesh_kelvin_force_density": [
        floats("nodes", rows("n", 3), row_walk=True), indices("connectivity", rows("m", 4), "n"),
        floats("m_field_centroids", rows("m", 3), row_walk=True),
        floats("h_field_nodes", rows("n", 3), row_walk=True)],
    "atan2": [floats("yvals", flat("f")), floats("xvals", flat("f"))],
}


def test_every_exported_function_is_covered():
    assert list(FUNCTIONS) == _corvane.__all__


# ------------------------------------------------------------- hostile values

def misaligned(a):
    owner = np.zeros(a.nbytes + 1, np.uint8)
    view = owner[1:].view(a.dtype).reshape(a.shape)
    view[...] = a
    return view


def strided(a):
    wide = np.zeros((2 * a.shape[0],) + a.shape[1:], a.dtype)
    wide[::2] = a
    return wide[::2]


def readonly(a):
    a = a.copy()
    a.flags.writeable = False
    return a


def huge(a, rows):
    """A broadcast view of `rows` rows (None: as many as NumPy allows)."""
    row = a.shape[1:]
    per_row = int(np.prod(row)) * a.itemsize or a.itemsize
    rows = rows or (2**63 - 1) // per_row
    return np.broadcast_to(np.zeros(row, a.dtype), (rows,) + row)


LAYOUTS = {
    "fortran": np.asfortranarray,
    "strided": strided,
    "negative": lambda a: a[::-1].copy()[::-1],
    "readonly": readonly,
    "misaligned": misaligned,
    "subclass": lambda a: a.view(SubArray),
    "transposed": lambda a: a.T,
}
WRONG_DTYPES = [np.float32, np.float16, np.int64, np.int32, np.uint64, np.uint16, np.complex128, np.bool_, object,
                ">f8", ">u4"]
NOT_ARRAYS = [None, [[0.0, 0.0, 0.0]], 1.0, "abc", True, object()]
SPECIAL_FLOATS = [np.nan, np.inf, -np.inf, -0.0, 1e300, 5e-324]
COUNT_VALUES = COUNT_EDGES + [-1, 2**64, 2.0, "1", None, np.uint64(3), np.int64(-2), True, np.array(2), Index(5),
                              Index(2**40), Index(-1)]
REAL_VALUES = [0.0, -1.0, np.nan, np.inf, -np.inf, 1, 10**400, "x", None, np.float32(0.25), Real(0.3), Real("no"),
               np.array(0.5), 1 + 1j, True]
FLAG_VALUES = [True, False, np.True_, np.False_, 1, 0, None, "yes", np.array(True), 1.0]


@st.composite
def hostile(draw, param, value, sizes, rng):
    """One hostile variant of the valid `value` of `param`."""
    if param.kind != "array":
        return draw(st.sampled_from({"count": COUNT_VALUES, "real": REAL_VALUES, "flag": FLAG_VALUES}[param.kind]))
    a = value
    kind = draw(st.sampled_from(["layout", "layout", "dtype", "ndim", "shape", "content", "huge", "other"]))
    if kind == "layout":
        return LAYOUTS[draw(st.sampled_from(sorted(LAYOUTS)))](a)
    if kind == "dtype":
        return a.astype(draw(st.sampled_from(WRONG_DTYPES)))
    if kind == "ndim":
        return draw(st.sampled_from([a.ravel(), a[None], a[..., None], np.array(a.ravel()[:1].sum())]))
    if kind == "shape":
        shape = (draw(st.integers(0, 7)),) + ((draw(st.integers(0, 6)),) if a.ndim == 2 else ())
        if a.dtype == np.uint32:
            return rng.integers(0, max(sizes[param.bound], 1), size=shape).astype(np.uint32)
        return rng.uniform(-2.0, 2.0, size=shape)
    if kind == "content":
        b = a.copy()
        if b.size:
            for i in draw(st.lists(st.integers(0, b.size - 1), min_size=1, max_size=3)):
                if b.dtype == np.uint32:
                    b.flat[i] = draw(st.sampled_from([sizes[param.bound], sizes[param.bound] + 1, 2**32 - 1]))
                else:
                    b.flat[i] = draw(st.sampled_from(SPECIAL_FLOATS))
        return b
    if kind == "huge":
        views = [lambda: huge(a, 2**40), lambda: huge(a, None)]
        if a.ndim == 2:  # one row of 2^40 columns
            views.append(lambda: huge(a[:, :1], 2**40).T)
        if param.row_walk and UNDER_ASAN:
            # A row walk over many rows asks for a huge buffer: MemoryError,
            # which AddressSanitizer turns into an abort.
            views = views[2:] or [lambda: a]
        return draw(st.sampled_from(views))()
    return draw(st.sampled_from(NOT_ARRAYS))


SIZES = st.fixed_dictionaries({"n": st.sampled_from([0, 1, 3, 4, 5, 6, 8, 8, 8]), "m": st.integers(0, 5), "t": st.integers(0, 9),
                               "f": st.integers(0, 5)})
EXTRA_KEYWORDS = [("colour", 1), ("\udc80", 1)]


def bounded(name, values):
    """Keeps a valid call short: a huge iteration limit converges at once."""
    if name == "magnetization_solve":
        try:
            if operator.index(values["max_iterations"]) > 1000:
                values["atol"] = np.inf
        except (TypeError, ValueError, OverflowError):
            pass
    return values


@st.composite
def calls(draw, name):
    params = FUNCTIONS[name]
    sizes = draw(SIZES)
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    values = {p.name: p.valid(rng, sizes) for p in params}
    for i in sorted(draw(st.sets(st.integers(0, len(params) - 1), max_size=3))):
        values[params[i].name] = draw(hostile(params[i], values[params[i].name], sizes, rng))
    values = list(bounded(name, values).values())
    n_positional = draw(st.integers(0, len(params)))
    args = values[:n_positional]
    kwargs = {p.name: v for p, v in zip(params[n_positional:], values[n_positional:])}
    shape = draw(st.sampled_from(["plain"] * 12 + ["extra", "keyword", "duplicate", "missing"]))
    if shape == "extra":
        args, kwargs = values + [None], {}
    elif shape == "keyword":
        kwargs.update([draw(st.sampled_from(EXTRA_KEYWORDS))])
    elif shape == "duplicate" and n_positional:
        kwargs[params[0].name] = values[0]
    elif shape == "missing" and kwargs:
        kwargs.pop(draw(st.sampled_from(sorted(kwargs))))
    return args, kwargs


# ------------------------------------------------------------------ outcomes

def root(a):
    while isinstance(a.base, np.ndarray):
        a = a.base
    return a


def check_result_array(a, shape, dtype):
    assert type(a) is np.ndarray and a.dtype == dtype and a.shape == shape, (a.dtype, a.shape, shape)
    assert a.flags.c_contiguous and a.flags.writeable
    assert type(root(a).base).__name__ == "PySliceContainer"


def expected_results(name, v):
    """Shapes and dtypes of a successful call, from the arguments it accepted."""
    def n_rows(key):
        return v[key].shape[0]

    f64, u32 = np.float64, np.uint32
    if name == "calculate_fields":
        return [((n_rows("targets"), 3), f64)]
    if name == "magnetization_solve":
        return [((n_rows("connectivity"), 3), f64)] * 2
    if name in ("mesh_centroids", "mesh_kelvin_force_density"):
        return [((n_rows("connectivity"), 3), f64)]
    if name == "mesh_volumes":
        return [((n_rows("connectivity"),), f64)]
    if name == "mesh_surface_faces":
        return [(None, u32)]
    if name == "mesh_surface_face_properties":
        return [((n_rows("faces"),), f64), ((n_rows("faces"), 3), f64), ((n_rows("faces"), 3), f64)]
    if name == "mesh_surface_forces":
        return [((n_rows("face_areas"), 3), f64)]
    if name == "_mesh_surface_tets":
        return [((12 * (v["faces"].size // 3),), f64), ((4 * (v["faces"].size // 3),), u32)]
    return [((n_rows("yvals"),), f64)]


# Messages that betray an unchecked C++ library failure.
LIBRARY_WORDING = ("std::", "vector", "basic_string", "bad_alloc", "unknown internal error")


# Functions that refuse coordinates beyond 1e30 m and elements below 1e-30 m.
REFUSING = {"calculate_fields", "magnetization_solve", "mesh_volumes", "mesh_surface_face_properties",
            "_mesh_surface_tets", "mesh_kelvin_force_density"}


def check_exception(name, error):
    allowed = {TypeError, OverflowError, MemoryError, PanicException}
    if name in REFUSING or name == "mesh_surface_face_properties":
        # Absurd coordinates (or NumPy's own reshape error, raised unchanged).
        allowed.add(ValueError)
    assert type(error) in allowed, repr(error)
    message = str(error)
    if type(error) is ValueError and name != "mesh_surface_face_properties":
        assert "cannot be computed in float64" in message, message
    if type(error) is MemoryError:
        return
    assert message, repr(error)
    if type(error) is TypeError:
        params = [p.name for p in FUNCTIONS[name]]
        assert (message.startswith(f"{name}() ")
                or any(message.startswith(f"argument '{p}': ") for p in params)
                or message == "The given array is not contiguous or is misaligned."), message
    if type(error) is PanicException:
        assert len(error.args) == 1 and not any(w in message for w in LIBRARY_WORDING), message


def run_call(name, args, kwargs, log=note):
    """Calls the function and checks the outcome and the inputs afterwards."""
    inputs = [root(v) for v in list(args) + list(kwargs.values()) if isinstance(v, np.ndarray)]
    before = [a.tobytes() for a in inputs]
    log(f"{name}(*{args!r}, **{kwargs!r})")
    try:
        result = getattr(_corvane, name)(*args, **kwargs)
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as error:  # noqa: BLE001 - every outcome is checked
        check_exception(name, error)
    else:
        values = dict(zip([p.name for p in FUNCTIONS[name]], args)) | kwargs
        results = list(result) if type(result) is tuple else [result]
        expected = expected_results(name, values)
        assert len(results) == len(expected)
        for a, (shape, dtype) in zip(results, expected):
            check_result_array(a, a.shape if shape is None else shape, dtype)
    for a, data in zip(inputs, before):
        assert a.tobytes() == data, "an input array was written"


@pytest.mark.parametrize("name", list(FUNCTIONS))
@given(data=st.data())
def test_any_arguments_give_a_documented_outcome(name, data):
    args, kwargs = data.draw(calls(name))
    run_call(name, args, kwargs)


@pytest.mark.parametrize("name, param", [(name, p.name) for name, params in FUNCTIONS.items()
                                         for p in params if p.kind == "count"])
@pytest.mark.parametrize("value", COUNT_EDGES)
def test_every_count_at_its_edges(name, param, value):
    """0, 1, 2^32 - 1 and 2^32 for every count, the other arguments valid, on
    every evaluation path."""
    rng = np.random.default_rng(7)
    sizes = {"n": 8, "m": 2, "t": 5, "f": 2}
    values = {p.name: p.valid(rng, sizes) for p in FUNCTIONS[name]}
    values[param] = value
    for use_octree in (False, True) if "use_octree" in values else [None]:
        if use_octree is not None:
            values["use_octree"] = use_octree
        run_call(name, [], bounded(name, values), log=print)
        if value == 2**32:
            with pytest.raises(OverflowError, match="^out of range integral type conversion attempted$"):
                getattr(_corvane, name)(**values)


@st.composite
def octree_requests(draw):
    """Meshes of up to 40 elements, some coincident, flat or far away, with any
    octree settings; arguments valid in kind."""
    rng = np.random.default_rng(draw(st.integers(0, 2**32 - 1)))
    m = draw(st.integers(1, 40))
    corner = np.array([[0, 0, 0], [1, 0, 0], [0, 1, 0], [0, 0, 1]], float)
    scale = draw(st.sampled_from([1e-9, 0.1, 1.0, 1e6]))
    nodes = (rng.uniform(-1, 1, (m, 1, 3)) + scale * corner).reshape(-1, 3)
    special = draw(st.sampled_from(["none", "none", "duplicate", "flat", "far", "nan"]))
    if special == "duplicate":
        nodes[-4:] = nodes[:4]
    elif special == "flat":
        nodes[3] = nodes[:3].mean(axis=0)
    elif special == "far":
        nodes[-4:] += 1e300
    elif special == "nan":
        nodes[rng.integers(len(nodes))] = np.nan
    conn = np.arange(4 * m, dtype=np.uint32).reshape(-1, 4)
    targets = rng.uniform(-2, 2, (draw(st.integers(1, 60)), 3))
    args = [nodes, conn, rng.normal(size=(m, 3)), draw(st.sampled_from([0, 1, 2])), draw(st.sampled_from([0, 1])),
            targets, draw(st.booleans()), draw(st.sampled_from([0, 1, 2, 3])), True,
            draw(st.sampled_from([0.0, 0.3, 0.5, 1.0, 2.0, 1e300, -1.0, np.inf, np.nan])),
            draw(st.sampled_from([0, 1, 2])), draw(st.sampled_from([1, 2, 3, 8, 2**32 - 1])),
            draw(st.sampled_from([1, 2, 5, 64, 2**32 - 1]))]
    return args


@given(args=octree_requests())
def test_octree_path_on_hostile_meshes_and_settings(args):
    run_call("calculate_fields", args, {})
