# math.approx sign family and math.sort: interface text, the operation sequences the calls run (the library's own
# counts), the defaults they pass, worked values with error simulation off, failures, aliasing and the lock.
import threading

import pytest

import pymorvane as pm
import pymorvane.math.approx as approx
import pymorvane.math.sort as msort
from pymorvane import ParameterPreset

from math_support import MathSetup, cold_cost, effect, gil_is_free_during, slots

FX = ParameterPreset.FX
FVA = ParameterPreset.FVa

E, B, C = "eval: pymorvane.HomEvaluator", "btp: pymorvane.Bootstrapper", "pymorvane.Ciphertext"
SIGN_DOC = ("input range [-2^log_range, 2^log_range] except near zero. log_range shall be chosen in the range of "
            "[0, 38]. numiter_g determine the range near zero by [-2^(-2-2*numiter_g), 2^(-2-2*numiter_g)].")
COMPARE_DOC = ("input range [-1, 1] except near zero. numiter_g determine the range near zero by "
               "[-2^(-2-2*numiter_g), 2^(-2-2*numiter_g)].")
EQUAL_DOC = ("input range [-2^log_range, 2^log_range]. log_range shall be chosen in the range of [0, 40]. input "
             "difference 2^-log_dist. log_dist shall be chosen in the range of [-14, 0].")
ITER = "numiter_g: int = 8, numiter_f: int = 3"


def doc(name, arguments, text):
    return f"{name}({E}, {B}, {arguments}) -> None\n\n{text}\n"


DOCSTRINGS = [
    (approx.sign, doc("sign", f"op: {C}, res: {C}, {ITER}, log_range: int = 0", SIGN_DOC)),
    (approx.sign_pair, doc("sign_pair", f"op1: {C}, op2: {C}, res1: {C}, res2: {C}, {ITER}, log_range: int = 0",
                           SIGN_DOC)),
    (approx.greater_than_zero, doc("greater_than_zero", f"op: {C}, res: {C}, {ITER}, log_range: int = 0", SIGN_DOC)),
    (approx.greater_than_zero_pair, doc("greater_than_zero_pair",
                                        f"op1: {C}, op2: {C}, res1: {C}, res2: {C}, {ITER}, log_range: int = 0",
                                        SIGN_DOC)),
    (approx.compare, doc("compare", f"op1: {C}, op2: {C}, res: {C}, {ITER}", COMPARE_DOC)),
    (approx.min_max, doc("min_max", f"op1: {C}, op2: {C}, min: {C}, max: {C}, {ITER}", COMPARE_DOC)),
    (approx.discrete_equal_zero, doc("discrete_equal_zero", f"op: {C}, res: {C}, log_range: int = 6, log_dist: int = 0",
                                     EQUAL_DOC)),
    (approx.discrete_equal, doc("discrete_equal", f"op1: {C}, op2: {C}, res: {C}, log_range: int = 6, "
                                "log_dist: int = 0", EQUAL_DOC)),
    (msort.sort, doc("sort", f"op: {C}, res: {C}, n: int, ascent: bool = True, only_last_stage: bool = False",
                     "input range [-0.5, 0.5].")),
]


@pytest.mark.parametrize("function, text", DOCSTRINGS, ids=[f.__name__ for f, _ in DOCSTRINGS])
def test_docstring(function, text):
    assert function.__doc__ == text


def test_registration_order_and_submodules():
    names = [name for name in vars(approx) if not name.startswith("__")]
    assert names[:8] == ["sign", "sign_pair", "greater_than_zero", "greater_than_zero_pair", "compare", "min_max",
                         "discrete_equal_zero", "discrete_equal"]
    assert [name for name in vars(msort) if not name.startswith("__")] == ["sort"]
    assert approx.__doc__ == "approx submodule" and msort.__doc__ == "sort submodule"


LEFT = [0.5, -0.5, 0.25, -0.125, 0.01, 0.0, -0.3, 0.2]
RIGHT = [-0.25, 0.5, 0.25, 0.0, -0.02, 0.4, 0.1, -0.3]
GRID = [0.0, 1.0, -1.0, 5.0, -17.0, 64.0, -64.0, 3.0]
SPREAD = [((i * 13) % 32) / 31.0 - 0.5 for i in range(32)]  # distinct, at least 0.03 apart


def scaled(values, factor):
    return [v * factor for v in values]


# (name, preset, (values, level) of each input, call(s, op1, op2, res1, res2), history, output levels,
#  bootstraps (real, complex, real extended, complex extended)). The figures are the library's for these arguments.
SIGN_HISTORY = {"Bootstrap": 3, "ctxt * cnst": 11, "ctxt * ctxt": 44, "ctxt + cnst": 33}
SORT_8 = {"Bootstrap": 21, "Rotate": 18, "ctxt * cnst": 54, "ctxt * ctxt": 222, "ctxt * msg": 22, "ctxt + cnst": 168,
          "ctxt + ctxt": 36}
ACCOUNTING = [
    ("sign defaults", FX, [(LEFT, 12)], lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r),
     SIGN_HISTORY, [6], (3, 0, 0, 0)),
    ("sign from the minimum level", FX, [(LEFT, 3)], lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r),
     dict(SIGN_HISTORY, Bootstrap=4), [6], (4, 0, 0, 0)),
    ("sign defaults FVa", FVA, [(LEFT, 16)], lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r),
     dict(SIGN_HISTORY, Bootstrap=2), [7], (2, 0, 0, 0)),
    ("sign without steps", FX, [(LEFT, 12)],
     lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r, numiter_g=0, numiter_f=0),
     {"ctxt * int": 1}, [12], (0, 0, 0, 0)),
    ("sign log_range 10", FX, [(scaled(LEFT, 1024), 12)],
     lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r, log_range=10),
     {"Bootstrap": 5, "Conjugate": 1, "Rescale": 9, "ctxt * cnst": 11, "ctxt * cnst W/R": 9, "ctxt * ctxt": 60,
      "ctxt * int": 1, "ctxt + cnst": 33, "ctxt + ctxt": 17}, [6], (5, 0, 0, 0)),
    ("sign pair, levels 12 and 9", FX, [(LEFT, 12), (RIGHT, 9)],
     lambda s, a, b, r, q: approx.sign_pair(s.eval, s.btp, a, b, r, q),
     {"Bootstrap": 3, "Level down": 1, "ctxt * cnst": 22, "ctxt * ctxt": 88, "ctxt * imag": 3, "ctxt + cnst": 66,
      "ctxt + ctxt": 3}, [3, 3], (0, 3, 0, 0)),
    ("greater than zero defaults", FX, [(LEFT, 12)],
     lambda s, a, b, r, q: approx.greater_than_zero(s.eval, s.btp, a, r),
     dict(SIGN_HISTORY, **{"ctxt + cnst": 34}), [6], (3, 0, 0, 0)),
    ("greater than zero log_range 12", FX, [(scaled(LEFT, 4096), 12)],
     lambda s, a, b, r, q: approx.greater_than_zero(s.eval, s.btp, a, r, 8, 3, 12),
     {"Bootstrap": 6, "Conjugate": 2, "Rescale": 12, "ctxt * cnst": 11, "ctxt * cnst W/R": 12, "ctxt * ctxt": 62,
      "ctxt * int": 2, "ctxt + cnst": 34, "ctxt + ctxt": 20}, [6], (6, 0, 0, 0)),
    ("greater than zero pair, levels 12 and 10", FX, [(LEFT, 12), (RIGHT, 10)],
     lambda s, a, b, r, q: approx.greater_than_zero_pair(s.eval, s.btp, a, b, r, q),
     {"Bootstrap": 3, "Level down": 1, "ctxt * cnst": 22, "ctxt * ctxt": 88, "ctxt * imag": 3, "ctxt + cnst": 68,
      "ctxt + ctxt": 3}, [3, 3], (0, 3, 0, 0)),
    ("compare, levels 12 and 9", FX, [(LEFT, 12), (RIGHT, 9)],
     lambda s, a, b, r, q: approx.compare(s.eval, s.btp, a, b, r),
     dict(SIGN_HISTORY, **{"ctxt + cnst": 34, "ctxt + ctxt": 1}), [3], (3, 0, 0, 0)),
    ("min max, levels 12 and 9", FX, [(LEFT, 12), (RIGHT, 9)],
     lambda s, a, b, r, q: approx.min_max(s.eval, s.btp, a, b, r, q),
     {"Bootstrap": 4, "ctxt * cnst": 11, "ctxt * ctxt": 45, "ctxt + cnst": 34, "ctxt + ctxt": 4}, [8, 8],
     (4, 0, 0, 0)),
    ("discrete equal zero defaults", FX, [(GRID, 12)],
     lambda s, a, b, r, q: approx.discrete_equal_zero(s.eval, s.btp, a, r),
     {"Bootstrap": 2, "ctxt * cnst": 6, "ctxt * ctxt": 27, "ctxt * imag": 1, "ctxt * int": 6, "ctxt + cnst": 21,
      "ctxt + ctxt": 1}, [9], (1, 1, 0, 0)),
    ("discrete equal zero log_range 20", FX, [(scaled(GRID, 16384), 12)],
     lambda s, a, b, r, q: approx.discrete_equal_zero(s.eval, s.btp, a, r, log_range=20),
     {"Bootstrap": 6, "Conjugate": 3, "Rescale": 19, "ctxt * cnst": 6, "ctxt * cnst W/R": 19, "ctxt * ctxt": 55,
      "ctxt * imag": 1, "ctxt * int": 15, "ctxt + cnst": 27, "ctxt + ctxt": 20}, [6], (5, 1, 0, 0)),
    ("discrete equal zero level 4, log_dist -3", FX, [(scaled(GRID, 0.125), 4)],
     lambda s, a, b, r, q: approx.discrete_equal_zero(s.eval, s.btp, a, r, 6, -3),
     {"Bootstrap": 3, "ctxt * cnst": 6, "ctxt * ctxt": 33, "ctxt * imag": 1, "ctxt * int": 9, "ctxt + cnst": 24,
      "ctxt + ctxt": 1}, [9], (2, 1, 0, 0)),
    ("discrete equal, levels 12 and 9", FX, [(GRID, 12), ([0.0], 9)],
     lambda s, a, b, r, q: approx.discrete_equal(s.eval, s.btp, a, b, r),
     {"Bootstrap": 2, "ctxt * cnst": 6, "ctxt * ctxt": 27, "ctxt * imag": 1, "ctxt * int": 6, "ctxt + cnst": 21,
      "ctxt + ctxt": 2}, [6], (1, 1, 0, 0)),
    ("sort n 1 copies", FX, [(SPREAD, 12)], lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 1),
     {}, [12], (0, 0, 0, 0)),
    ("sort n 8", FX, [(SPREAD, 12)], lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 8),
     SORT_8, [5], (21, 0, 0, 0)),
    ("sort n 8 descending", FX, [(SPREAD, 12)], lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 8, False),
     SORT_8, [5], (21, 0, 0, 0)),
    ("sort n 8 last stage", FX, [(SPREAD, 12)],
     lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 8, only_last_stage=True),
     {"Bootstrap": 10, "Rotate": 9, "ctxt * cnst": 27, "ctxt * ctxt": 111, "ctxt * msg": 9, "ctxt + cnst": 84,
      "ctxt + ctxt": 18}, [8], (10, 0, 0, 0)),
    ("sort all 32 slots from level 5", FX, [(SPREAD, 5)], lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 32),
     {"Bootstrap": 55, "Rotate": 45, "ctxt * cnst": 135, "ctxt * ctxt": 555, "ctxt * msg": 53, "ctxt + cnst": 420,
      "ctxt + ctxt": 90}, [8], (55, 0, 0, 0)),
]


@pytest.mark.parametrize("name, preset, inputs, call, history, levels, boots", ACCOUNTING,
                         ids=[row[0] for row in ACCOUNTING])
def test_operations_levels_and_stopwatch(name, preset, inputs, call, history, levels, boots):
    s = MathSetup(preset)
    ops = [s.input(values, level) for values, level in inputs]
    ops += [s.output()] * (2 - len(ops))
    before = [slots(op) for op in ops]
    res = [s.output(), s.output()]
    recorded, duration = s.measure(lambda: call(s, ops[0], ops[1], res[0], res[1]))
    assert recorded == history
    assert [out.level for out in res[:len(levels)]] == levels
    assert duration == cold_cost(preset, boots)
    assert [slots(op) for op in ops] == before
    assert [op.level for op in ops[:len(inputs)]] == [level for _, level in inputs]


# Every default against the same call with the value written out: same sequence, same levels, same slots.
DEFAULTS = [
    (lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r),
     lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r, 8, 3, 0)),
    (lambda s, a, b, r, q: approx.sign_pair(s.eval, s.btp, a, b, r, q),
     lambda s, a, b, r, q: approx.sign_pair(s.eval, s.btp, a, b, r, q, 8, 3, 0)),
    (lambda s, a, b, r, q: approx.greater_than_zero_pair(s.eval, s.btp, a, b, r, q),
     lambda s, a, b, r, q: approx.greater_than_zero_pair(s.eval, s.btp, a, b, r, q, 8, 3, 0)),
    (lambda s, a, b, r, q: approx.min_max(s.eval, s.btp, a, b, r, q),
     lambda s, a, b, r, q: approx.min_max(s.eval, s.btp, a, b, r, q, 8, 3)),
    (lambda s, a, b, r, q: approx.discrete_equal(s.eval, s.btp, a, b, r),
     lambda s, a, b, r, q: approx.discrete_equal(s.eval, s.btp, a, b, r, 6, 0)),
    (lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 4),
     lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 4, True, False)),
]


@pytest.mark.parametrize("implicit, explicit", DEFAULTS)
def test_defaults_are_the_values_written_out(implicit, explicit):
    outcomes = []
    for call in (implicit, explicit):
        s = MathSetup()
        a, b = s.input(LEFT, 12), s.input(RIGHT, 10)
        r, q = s.output(), s.output()
        outcomes.append(effect(s, lambda: call(s, a, b, r, q), [r, q]))
    assert outcomes[0] == outcomes[1]


def test_sign_values_with_error_simulation_off():
    s = MathSetup()
    values = [sign * 2.0 ** -t for t in [0, 1.5, 3, 6, 9, 12, 15, 18] for sign in (1, -1)] + [0.0, 2.0 ** -20]
    res = s.output()
    approx.sign(s.eval, s.btp, s.input(values, 12), res)
    out = slots(res, len(values))
    for value, got in zip(values[:-2], out):
        assert got.real == pytest.approx(1.0 if value > 0 else -1.0, abs=1e-14) and got.imag == 0.0
    assert out[-2] == 0.0
    assert out[-1].real == pytest.approx(0.957, abs=1e-3)


def test_comparison_values_with_error_simulation_off():
    s = MathSetup()
    x = s.input(LEFT, 12)
    equal = s.output()
    approx.compare(s.eval, s.btp, x, x, equal)
    assert slots(equal, 8) == [0.5] * 8
    low, high = s.output(), s.output()
    approx.min_max(s.eval, s.btp, x, x, low, high)
    assert slots(low, 8) == LEFT and slots(high, 8) == LEFT
    low, high = s.output(), s.output()
    approx.min_max(s.eval, s.btp, x, s.input(RIGHT, 12), low, high)
    assert [v.real for v in slots(low, 8)] == pytest.approx([min(a, b) for a, b in zip(LEFT, RIGHT)], abs=1e-14)
    assert [v.real for v in slots(high, 8)] == pytest.approx([max(a, b) for a, b in zip(LEFT, RIGHT)], abs=1e-14)


@pytest.mark.parametrize("log_range", [6, 20])
def test_discrete_equality_of_integers(log_range):
    s = MathSetup()
    integers = [0, 1, -1, 2, -2, 3, 5, -7, 11, -13, 17, 31, -32, 40, 63, -63, 64, -64]
    res = s.output()
    approx.discrete_equal_zero(s.eval, s.btp, s.input(integers, 12), res, log_range)
    out = slots(res, len(integers))
    assert out[0].real == pytest.approx(1.0, abs=1e-13)
    assert max(abs(v) for v in out[1:]) < 1e-12


@pytest.mark.parametrize("ascent", [True, False])
def test_sorted_blocks_and_equal_slots(ascent):
    s = MathSetup()
    res = s.output()
    msort.sort(s.eval, s.btp, s.input(SPREAD, 12), res, 8, ascent)
    out = [v.real for v in slots(res)]
    for block in range(0, 32, 8):
        steps = [b - a for a, b in zip(out[block:block + 8], out[block + 1:block + 8])]
        assert min(steps if ascent else [-d for d in steps]) > 0.005
    equal = [0.25, 0.25, -0.125, -0.125]
    msort.sort(s.eval, s.btp, s.input(equal, 12), res, 2, ascent)
    assert slots(res, 4) == equal


# Arguments that convert for no overload: TypeError, nothing run, the output untouched.
@pytest.mark.parametrize("call", [
    lambda s, a, r: approx.sign(s.eval, s.btp, a, r, numiter_g=-1),
    lambda s, a, r: approx.sign(s.eval, s.btp, a, r, 8, 3, 1.0),
    lambda s, a, r: approx.sign(None, s.btp, a, r),
    lambda s, a, r: approx.sign(s.eval, s.btp, a, None),
    lambda s, a, r: approx.sign(s.btp, s.eval, a, r),
    lambda s, a, r: approx.compare(s.eval, s.btp, a, a, r, numiter_f=-3),
    lambda s, a, r: approx.discrete_equal_zero(s.eval, s.btp, a, r, log_dist=-3.0),
    lambda s, a, r: approx.discrete_equal_zero(s.eval, s.btp, a, r, log_dist=2 ** 63),
    lambda s, a, r: approx.discrete_equal(s.eval, s.btp, a, r),
    lambda s, a, r: msort.sort(s.eval, s.btp, a, r),
    lambda s, a, r: msort.sort(s.eval, s.btp, a, r, n=2 ** 31),
    lambda s, a, r: msort.sort(s.eval, s.btp, a, r, 4.0),
])
def test_arguments_that_fit_no_overload(call):
    s = MathSetup()
    a, r = s.input(LEFT, 12), s.input([9.0], 20)
    s.ctx.clear_history()
    with pytest.raises(TypeError):
        call(s, a, r)
    assert s.ctx.get_history() == {}
    assert r.level == 20 and slots(r, 1) == [9.0]


# The library's checks, before any operation; the discrete equality of two inputs subtracts them first.
@pytest.mark.parametrize("call, message, history", [
    (lambda s, a, r: approx.sign(s.eval, s.btp, a, r, log_range=39), "[approxSign] log_range must be <= 38.", {}),
    (lambda s, a, r: approx.sign_pair(s.eval, s.btp, a, a, r, r, log_range=39),
     "[approxSignPair] log_range must be <= 38.", {}),
    (lambda s, a, r: approx.greater_than_zero(s.eval, s.btp, a, r, log_range=39),
     "[approxGreaterThanZero] log_range must be <= 38.", {}),
    (lambda s, a, r: approx.discrete_equal_zero(s.eval, s.btp, a, r, log_range=41),
     "[approxDiscreteEqualZero] log_range must be <= 40.", {}),
    # The docstring says [-14, 0]; the library admits [-12, 0].
    (lambda s, a, r: approx.discrete_equal_zero(s.eval, s.btp, a, r, log_dist=1),
     "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {}),
    (lambda s, a, r: approx.discrete_equal(s.eval, s.btp, a, a, r, log_dist=-14),
     "[approxDiscreteEqualZero] log_dist must be in [-12, 0].", {"ctxt + ctxt": 1}),
    (lambda s, a, r: msort.sort(s.eval, s.btp, a, r, 33), "[unitSort] n must be <= 32, the number of slots.", {}),
])
def test_library_refusals_reach_python(call, message, history):
    s = MathSetup()
    a, r = s.input(LEFT, 12), s.input([9.0], 20)
    s.ctx.clear_history()
    with pytest.raises(RuntimeError) as caught:
        call(s, a, r)
    assert str(caught.value) == message
    assert s.ctx.get_history() == history
    assert r.level == 20 and slots(r, 1) == [9.0]


def test_every_argument_by_keyword_and_accepted_edges():
    s = MathSetup()
    x, y = s.input(LEFT, 12), s.input(RIGHT, 12)
    lo, hi = s.output(), s.output()
    approx.min_max(eval=s.eval, btp=s.btp, op1=x, op2=y, min=lo, max=hi, numiter_g=8, numiter_f=2)
    res = s.output()
    approx.discrete_equal_zero(eval=s.eval, btp=s.btp, op=s.input(scaled(GRID, 0.125), 12), res=res, log_range=6,
                               log_dist=-3)
    msort.sort(eval=s.eval, btp=s.btp, op=x, res=res, n=2, ascent=False, only_last_stage=True)
    assert res.level == 8


# Outputs that are inputs give what separate outputs give.
ALIASED = [
    (lambda s, a, b, r, q: approx.sign(s.eval, s.btp, a, r), 0),
    (lambda s, a, b, r, q: approx.greater_than_zero(s.eval, s.btp, a, r), 0),
    (lambda s, a, b, r, q: approx.compare(s.eval, s.btp, a, b, r), 1),
    (lambda s, a, b, r, q: approx.discrete_equal(s.eval, s.btp, a, b, r), 0),
    (lambda s, a, b, r, q: approx.discrete_equal_zero(s.eval, s.btp, a, r), 0),
    (lambda s, a, b, r, q: approx.sign_pair(s.eval, s.btp, a, b, r, q), (1, 0)),
    (lambda s, a, b, r, q: approx.min_max(s.eval, s.btp, a, b, r, q), (0, 1)),
    (lambda s, a, b, r, q: approx.min_max(s.eval, s.btp, a, b, r, q), (1, 0)),
    (lambda s, a, b, r, q: msort.sort(s.eval, s.btp, a, r, 8), 0),
]


@pytest.mark.parametrize("call, alias", ALIASED)
def test_outputs_may_be_inputs(call, alias):
    s = MathSetup()
    values = [(v + w) / 4 for v, w in zip(LEFT, RIGHT)]
    a, b = s.input(LEFT, 12), s.input(values, 12)
    r, q = s.output(), s.output()
    call(s, a, b, r, q)
    expected = [slots(r), slots(q)]

    a, b = s.input(LEFT, 12), s.input(values, 12)
    inputs = (a, b)
    if isinstance(alias, tuple):
        outs = [inputs[alias[0]], inputs[alias[1]]]
    else:
        outs = [inputs[alias], s.output()]
    call(s, a, b, outs[0], outs[1])
    assert slots(outs[0]) == expected[0]
    if isinstance(alias, tuple):
        assert slots(outs[1]) == expected[1]


CALLS = [
    lambda s, a, r: approx.sign(s.eval, s.btp, a, r),
    lambda s, a, r: approx.sign_pair(s.eval, s.btp, a, a, r, s.output()),
    lambda s, a, r: approx.greater_than_zero(s.eval, s.btp, a, r),
    lambda s, a, r: approx.greater_than_zero_pair(s.eval, s.btp, a, a, r, s.output()),
    lambda s, a, r: approx.compare(s.eval, s.btp, a, a, r),
    lambda s, a, r: approx.min_max(s.eval, s.btp, a, a, r, s.output()),
    lambda s, a, r: approx.discrete_equal_zero(s.eval, s.btp, a, r),
    lambda s, a, r: approx.discrete_equal(s.eval, s.btp, a, a, r),
    lambda s, a, r: msort.sort(s.eval, s.btp, a, r, 4),
]


@pytest.mark.parametrize("call", CALLS, ids=[f.__name__ for f, _ in DOCSTRINGS])
def test_the_interpreter_lock_is_free_during_the_call(call):
    # FVa's 65536 slots make each call last milliseconds: time enough for the watcher to be woken inside it.
    s = MathSetup(FVA)
    a, r = s.input(LEFT, 16), s.output()
    assert gil_is_free_during(lambda: call(s, a, r))


def test_sorts_on_several_threads_at_once():
    setups = [MathSetup() for _ in range(4)]
    reference = MathSetup()
    op, expected_out = reference.input(SPREAD, 12), reference.output()
    expected_history, _ = reference.measure(lambda: msort.sort(reference.eval, reference.btp, op, expected_out, 16))
    results = [None] * len(setups)
    start = threading.Barrier(len(setups))

    def work(index):
        s = setups[index]
        op, res = s.input(SPREAD, 12), s.output()
        start.wait()
        results[index] = s.measure(lambda: msort.sort(s.eval, s.btp, op, res, 16))[0], slots(res)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(setups))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert results == [(expected_history, slots(expected_out))] * len(setups)
