#!/usr/bin/python3
"""Generates MiniMaxSigmoidCoefficients.inc, the 256 block coefficients behind miniMaxSigmoid.

The polynomial is a degree-255 minimax (Remez exchange) fit of 1/(1 + exp(-48 t)) on [-1, 1]. The sigmoid minus 1/2
is odd, so the fit runs on t in (0, 1] in the basis T_1, T_3, ..., T_255, and the constant 1/2 is added afterwards.
The error is sampled at the Chebyshev points of the first kind cos((i + 1/2) pi / GRID_POINTS); interior extrema are
refined by a parabola through the neighbouring samples, while the outermost extremum stays on the first sample, just
inside t = 1.

The fitted Chebyshev series is then rewritten into the baby-step giant-step block form of evaluateChebyshevExpansion:
P = sum over k of B_k * prod over the set bits i of k of T_(16 * 2^i), every B_k a combination of T_0 ... T_15. Block k
occupies entries 16 k ... 16 k + 15 of the table.

Run by hand (numpy only): /usr/bin/python3 gen_minimax_sigmoid.py [output path]. Without an argument it writes
MiniMaxSigmoidCoefficients.inc beside this script. It also prints the check values below next to the fit's and the
maximum error of the block form, evaluated in the order the expansion uses.
"""

import math
import os
import sys

import numpy as np

SLOPE = 48.0
NUM_BS = 16
NUM_GS = 16
LOG_GS = 4
DEGREE = NUM_BS * NUM_GS - 1  # 255: the highest degree the block layout can hold
NUM_ODD = (DEGREE + 1) // 2  # T_1, T_3, ..., T_255
GRID_POINTS = 4096
SKIP_BELOW = 1e-8  # terms the expansion leaves out

# Known entries of the record, (block, j) -> value; the fit must reproduce them to about 1e-11.
CHECK_VALUES = {
    (0, 1): 0.65994119715, (0, 3): -0.23507738092, (0, 5): 0.15023038074, (0, 7): -0.11441744318,
    (0, 9): 0.095366496797, (0, 11): -0.084350625429, (0, 13): 0.078110586683, (0, 15): -0.075259351685,
    (1, 1): 0.070070779801, (1, 3): -0.062069468106, (1, 5): 0.055863029192, (1, 7): -0.051080429571,
    (1, 9): 0.047477986738, (1, 11): -0.044894165459, (1, 13): 0.043223871948, (1, 15): -0.042403676501,
    (15, 1): 1.899167481e-07, (15, 3): -1.6664868301e-07, (15, 5): 1.4619782073e-07, (15, 7): -1.2828931194e-07,
    (15, 9): 1.1254286386e-07, (15, 11): -9.8761546119e-08, (15, 13): 8.6634216965e-08, (15, 15): -3.3025102523e-07,
}


def sigmoid(t):
    return 1.0 / (1.0 + np.exp(-SLOPE * t))


def odd_part(t):
    # sigmoid(48 t) - 1/2 without the cancellation near t = 0
    return 0.5 * np.tanh(0.5 * SLOPE * t)


def remez(max_iter=50):
    """Odd minimax fit; returns the coefficients of T_1, T_3, ... and the levelled error."""
    orders = 2 * np.arange(NUM_ODD) + 1
    theta = (np.arange(GRID_POINTS // 2) + 0.5) * np.pi / GRID_POINTS  # t = cos(theta) in (0, 1)
    step = np.pi / GRID_POINTS
    basis = np.cos(np.outer(theta, orders))
    target = odd_part(np.cos(theta))
    signs = (-1.0) ** np.arange(NUM_ODD + 1)
    # start from the extrema of T_(DEGREE + 2), the error of a truncated series
    ref = np.arange(NUM_ODD + 1) * np.pi / (DEGREE + 2)
    for _ in range(max_iter):
        system = np.hstack([np.cos(np.outer(ref, orders)), signs[:, None]])
        solution = np.linalg.solve(system, odd_part(np.cos(ref)))
        coeffs, levelled = solution[:NUM_ODD], solution[NUM_ODD]
        err = target - basis @ coeffs
        # one extremum per run of equal sign: these alternate by construction
        cuts = np.flatnonzero(np.sign(err[1:]) != np.sign(err[:-1])) + 1
        peaks = [run[np.argmax(np.abs(err[run]))] for run in np.split(np.arange(err.size), cuts)]
        while len(peaks) > NUM_ODD + 1:
            peaks.pop(0 if abs(err[peaks[0]]) < abs(err[peaks[-1]]) else -1)
        if len(peaks) < NUM_ODD + 1:
            raise RuntimeError("error curve lost its alternation")
        new_ref = []
        for i in peaks:
            if 0 < i < theta.size - 1:
                y0, y1, y2 = np.abs(err[i - 1:i + 2])
                curvature = y0 - 2.0 * y1 + y2
                new_ref.append(theta[i] + 0.5 * step * (y0 - y2) / curvature if curvature < 0 else theta[i])
            else:
                new_ref.append(theta[i])
        new_ref = np.sort(np.array(new_ref))
        # rounding in the samples moves the refined extrema by about 1e-9; the coefficients depend on the interior
        # points only to second order, so a reference settled to 1e-8 is final
        converged = np.max(np.abs(new_ref - ref)) < 1e-8
        ref = new_ref
        if converged:
            break
    else:
        raise RuntimeError("exchange did not settle")
    return coeffs, abs(levelled)


def split(series, m):
    """series = low + T_m * high with both of degree below m, by T_(m+j) = 2 T_m T_j - T_(m-j)."""
    low = series[:m].copy()
    high = np.zeros(m)
    high[0] = series[m]
    for j in range(1, m):
        high[j] = 2.0 * series[m + j]
        low[m - j] -= series[m + j]
    return low, high


def to_blocks(series):
    """Block k multiplies T_(16 * 2^i) for the set bits i of k: the top bit splits off the upper half first."""
    if series.size == NUM_BS:
        return [series]
    low, high = split(series, series.size // 2)
    return to_blocks(low) + to_blocks(high)


class BlockEvaluator:
    """The expansion's order of work in floating point: odd and power-of-two basis, giant steps, split top block."""

    def __init__(self, table, t):
        self.c = table
        basis = [None, t.copy()]
        d = 1
        for i in range(2, NUM_BS):
            if i % 2 == 1:
                basis.append(2.0 * basis[i - d] * basis[d] - basis[2 * d - i])
            elif i == 2 * d:
                basis.append(2.0 * basis[d] * basis[d] - 1.0)
                d = i
            else:
                basis.append(None)
        self.basis = basis
        giant = [2.0 * basis[NUM_BS // 2] * basis[NUM_BS // 2] - 1.0]
        for _ in range(1, LOG_GS):
            giant.append(2.0 * giant[-1] * giant[-1] - 1.0)
        self.giant = giant

    def term(self, i, v, acc):
        return acc + self.basis[i] * v if abs(v) > SKIP_BELOW else acc

    def plain_block(self, o, n):
        acc = self.basis[n - 1] * self.c[o + n - 1]
        for i in range(n - 2, 0, -1):
            acc = self.term(i, self.c[o + i], acc)
        return acc + self.c[o]

    def split_block(self, o, n):
        d = list(self.c[o:o + n])
        g, w = n // 2, n // 2
        while w >= 2:
            for j in range(1, w):
                d[g - j] -= d[g + j]
                d[g + j] *= 2.0
            w //= 2
            g += w
        acc = self.basis[1] * d[n - 1] + d[n - 2]
        s = 2
        while s <= n // 2:
            acc = self.basis[s] * acc
            for i in range(s - 1, 0, -1):
                acc = self.term(i, d[n - 2 * s + i], acc)
            acc = acc + d[n - 2 * s]
            s *= 2
        return acc

    def giant_step(self, a, x, split_top):
        if x == 1:
            return self.split_block(a * NUM_BS, NUM_BS) if split_top else self.plain_block(a * NUM_BS, NUM_BS)
        k = math.ceil(math.log2(x)) - 1
        l = 1 << k
        low = self.giant_step(a, l, False)
        return low + self.giant_step(a + l, x - l, split_top) * self.giant[k]

    def value(self):
        return self.giant_step(0, NUM_GS, True)


def literal(v):
    text = "%.17g" % v
    return text if any(ch in text for ch in ".e") else text + ".0"


def write_table(path, table, max_error):
    lines = [
        "// Generated by gen_minimax_sigmoid.py; do not edit by hand.",
        "// Degree-255 odd minimax fit of 1/(1 + exp(-48 t)) on [-1, 1], largest error %.3g, in block form:" % max_error,
        "// entry 16 k + j is the coefficient of T_j in block k, which multiplies T_16^b0 T_32^b1 T_64^b2 T_128^b3",
        "// for the bits b of k.",
    ]
    for row in range(0, table.size, 4):
        lines.append(", ".join(literal(v) for v in table[row:row + 4]) + ("," if row + 4 < table.size else ""))
    with open(path, "w") as out:
        out.write("\n".join(lines) + "\n")


def main():
    out_path = sys.argv[1] if len(sys.argv) > 1 else os.path.join(
        os.path.dirname(os.path.abspath(__file__)), "MiniMaxSigmoidCoefficients.inc")

    odd, levelled = remez()
    series = np.zeros(DEGREE + 1)
    series[1::2] = odd
    series[0] = 0.5
    table = np.concatenate(to_blocks(series))

    print("levelled error of the fit: %.6e" % levelled)
    print("block  j  check value          fit                      difference")
    worst = 0.0
    for (k, j), want in CHECK_VALUES.items():
        got = table[NUM_BS * k + j]
        worst = max(worst, abs(got - want))
        print("%5d %2d  % .11e  % .17e  % .2e" % (k, j, want, got, got - want))
    print("largest difference from the check values: %.3e" % worst)

    t = np.concatenate([np.linspace(-1.0, 1.0, 2_000_001), 1.0 - np.logspace(-12, -3, 2001)])
    max_error = np.max(np.abs(BlockEvaluator(table, t).value() - sigmoid(t)))
    print("largest error of the block form on %d points of [-1, 1]: %.6e" % (t.size, max_error))

    blocks = table.reshape(NUM_GS, NUM_BS)
    even_residue = np.max(np.abs(np.delete(table[0::2], 0)))
    odd_mags = np.abs(blocks[:, 1::2])
    alternating = np.all(blocks[:, 1::4] > 0) and np.all(blocks[:, 3::4] < 0)
    print("entry 0: %r, largest other even entry: %.3g, odd entries alternate: %s, odd magnitudes %.3g ... %.3g"
          % (table[0], even_residue, alternating, odd_mags.min(), odd_mags.max()))

    write_table(out_path, table, max_error)
    print("wrote", out_path)


if __name__ == "__main__":
    main()
