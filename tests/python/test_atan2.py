"""atan2: the module's fast arctangent, element by element."""
import numpy as np
import pytest

import _corvane
from conftest import PanicException

INF, NAN = np.inf, np.nan
PI, HALF_PI = 3.141592653589793, 1.5707963267948966

KNOWN = [
    (0.0, -1.0, PI), (-0.0, -1.0, -PI), (1.0, 0.0, HALF_PI), (1.0, -0.0, HALF_PI),
    (-1.0, 0.0, -HALF_PI), (0.0, 0.0, 0.0), (-0.0, 0.0, -0.0), (0.0, -0.0, 0.0),
    (1.0, 1.0, 0.7853965), (3.0, 4.0, 0.6435026883946038),
    (1e-20, 1e-20, 9.998772689475357e-05), (1e-16, 1e-16, 0.4636464128515625),
    (INF, 1.0, HALF_PI), (INF, INF, NAN), (NAN, 1.0, NAN), (1.0, NAN, NAN), (NAN, NAN, NAN),
]


def bits(a):
    return np.asarray(a, dtype=np.float64).view(np.uint64)


@pytest.mark.parametrize("y, x, expected", KNOWN)
def test_known_values_bit_for_bit(y, x, expected):
    got = _corvane.atan2(np.array([y]), np.array([x]))
    assert got.dtype == np.float64 and got.shape == (1,)
    if np.isnan(expected):
        assert np.isnan(got[0])
    else:
        assert bits(got[0]) == bits(expected)


@pytest.mark.parametrize("n", [0, 1, 3, 4, 5, 8, 9, 17, 1001])
def test_every_element_matches_the_one_element_path(n):
    rng = np.random.default_rng(n)
    scale = 10.0 ** rng.uniform(-30, 30, n)
    y = rng.uniform(-1, 1, n) * scale
    x = rng.uniform(-1, 1, n) * scale
    x[::7] = -0.0
    got = _corvane.atan2(y, x)
    one = [_corvane.atan2(y[i:i + 1], x[i:i + 1])[0] for i in range(n)]
    assert got.shape == (n,)
    np.testing.assert_array_equal(bits(got), bits(np.array(one, dtype=np.float64)))
    # Away from the 1e-16 guard the angle is within the approximation's accuracy.
    far = np.maximum(np.abs(x), np.abs(y)) > 1e-6
    np.testing.assert_allclose(got[far], np.arctan2(y, x)[far], rtol=0, atol=1.7e-6)


def test_length_mismatch_is_an_internal_failure():
    with pytest.raises(PanicException) as info:
        _corvane.atan2(np.zeros(3), np.zeros(2))
    message = str(info.value)
    assert message.startswith("length of `_xvals` does not match")
    assert "left: 2, right: 3" in message


def misaligned(n):
    return np.zeros(8 * n + 1, dtype=np.uint8)[1:].view(np.float64)


@pytest.mark.parametrize("yvals, xvals, error", [
    (np.zeros(2, dtype=np.float32), None, "^argument 'yvals': "),
    (np.zeros((2, 1)), np.zeros(2), "^argument 'yvals': "),
    ([0.0, 1.0], np.zeros(2), "^argument 'yvals': "),
    (np.zeros(2), np.zeros(2, dtype=np.int64), "^argument 'xvals': "),
    (np.zeros(6)[::2], np.zeros(3), "^The given array is not contiguous or is misaligned.$"),
    (np.zeros(3), misaligned(3), "^The given array is not contiguous or is misaligned.$"),
])
def test_wrong_kinds_and_layouts_are_refused(yvals, xvals, error):
    with pytest.raises(TypeError, match=error):
        _corvane.atan2(yvals, xvals)


def test_empty_inputs_give_an_empty_array_whatever_their_layout():
    got = _corvane.atan2(np.zeros(4)[::2][:0], np.zeros(0))
    assert got.dtype == np.float64 and got.shape == (0,)
