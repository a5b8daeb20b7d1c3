"""Accuracy and speed of drisk.overlaps against inclusion-exclusion.

    python -m bench overlap [--quick] [--pairs N] [--p 12] [--plot docs/overlap.png]

For each case (a union size n from 10^3 to 10^7 and a Jaccard index J, with
|A| = |B|, or with |B| a tenth of |A|) it simulates pairs of sketches and
compares two estimates of |A n B| and of J on the same pairs:

* drisk.overlaps, the joint maximum-likelihood fit;
* inclusion-exclusion with the improved estimator, |A| + |B| - |A u B|
  (negative values raised to 0, which only helps it), and its J.

How the pairs are made: from the register model at a fixed count, as
bench/accuracy.py makes single sketches. Each of the three disjoint parts
(A only, B only, both) gives each register a Poisson number of items and the
maximum of that many geometric ranks; A's registers are the larger of "A
only" and "both", B's of "B only" and "both". The truth is the realised
number of items in each part, so the Poisson scatter of the counts
themselves does not count as error.

It reports, per case, the RMSE of both methods (relative to the true
intersection; absolute for J), their ratio, and how often the 95 % intervals
of drisk.overlaps hold the true intersection and the true J; then the time
of overlaps() over 100,000 pairs of p = 12 sketches. numpy (and matplotlib
for --plot) are needed here only.
"""

from __future__ import annotations

import argparse
import math
import time
from dataclasses import dataclass

import numpy as np

import drisk

CONFIDENCE = 0.95
SIZES = (10**3, 10**4, 10**5, 10**6, 10**7)
JACCARDS = (0.001, 0.01, 0.05, 0.1, 0.3, 0.5, 0.9, 1.0)
# |B| = |A| / 10: B holds at most a tenth of the union.
SMALL_B_JACCARDS = (0.001, 0.01, 0.05, 0.1)
# Intersections from which the intervals' coverage is judged.
COVERAGE_FROM = 1000


@dataclass
class Case:
    n: int  # the union's expected size
    jaccard: float
    ratio: int  # |A| / |B|

    def parts(self) -> tuple[float, float, float]:
        """Expected sizes of A only, B only and both."""
        both = self.jaccard * self.n
        if self.ratio == 1:
            each = (self.n - both) / 2
            return each, each, both
        # |A| = ratio |B|, A u B = n: |B| = n / ratio when B lies inside A.
        size_b = self.n / self.ratio
        return self.n - size_b, size_b - both, both

    def label(self) -> str:
        return f"n={self.n:.0e} J={self.jaccard:g}" + ("" if self.ratio == 1 else f" |B|=|A|/{self.ratio}")


def part_registers(rng: np.random.Generator, rows: int, m: int, q: int, rate: float) -> tuple[np.ndarray, np.ndarray]:
    """registers[rows, m] of one part with `rate` items a register, and the
    realised items of each row."""
    counts = rng.poisson(rate, size=(rows, m)).astype(np.float64)
    u = rng.random(size=(rows, m))
    with np.errstate(divide="ignore", invalid="ignore"):
        k = np.ceil(-np.log2(-np.expm1(np.log1p(-u) / counts)))
    k = np.where(counts > 0, np.clip(np.nan_to_num(k, nan=q + 1, posinf=q + 1), 1, q + 1), 0)
    return k.astype(np.uint8), counts.sum(axis=1)


def make_pairs(rng: np.random.Generator, case: Case, pairs: int, p: int):
    """(a cells, b cells, union cells, true intersection, true union) of
    `pairs` simulated pairs, the cells in the raw form."""
    m, q = 2**p, 64 - p
    a_only, b_only, both = case.parts()
    ra, na = part_registers(rng, pairs, m, q, a_only / m)
    rb, nb = part_registers(rng, pairs, m, q, b_only / m)
    rx, nx = part_registers(rng, pairs, m, q, both / m)
    a = np.maximum(ra, rx)
    b = np.maximum(rb, rx)
    u = np.maximum(a, b)
    head = bytes([p])
    cells = [[head + row.tobytes() for row in regs] for regs in (a, b, u)]
    return cells[0], cells[1], cells[2], nx, na + nb + nx


@dataclass
class Result:
    case: Case
    rmse_ml: float
    rmse_ie: float
    rmse_j_ml: float
    rmse_j_ie: float
    covered: float
    covered_j: float
    true_intersection: float

    @property
    def ratio(self) -> float:
        return self.rmse_ml / self.rmse_ie if self.rmse_ie > 0 else 1.0

    @property
    def ratio_j(self) -> float:
        return self.rmse_j_ml / self.rmse_j_ie if self.rmse_j_ie > 0 else 1.0


def measure(rng: np.random.Generator, case: Case, pairs: int, p: int) -> Result:
    a, b, u, truth, union = make_pairs(rng, case, pairs, p)
    fitted = drisk.overlaps(a, b, CONFIDENCE)
    ea, eb, eu = (drisk.estimates(cells) for cells in (a, b, u))
    ie = np.maximum(ea + eb - eu, 0.0)
    ie_j = np.where(eu > 0, ie / np.maximum(eu, 1e-300), 0.0)
    true_j = truth / union
    scale = max(float(np.mean(truth)), 1.0)

    def rmse(values: np.ndarray, target: np.ndarray) -> float:
        return float(np.sqrt(np.mean((values - target) ** 2)))

    inside = (fitted["intersection_lower"] <= truth) & (truth <= fitted["intersection_upper"])
    inside_j = (fitted["jaccard_lower"] <= true_j) & (true_j <= fitted["jaccard_upper"])
    return Result(
        case,
        rmse(fitted["intersection"], truth) / scale,
        rmse(ie, truth) / scale,
        rmse(fitted["jaccard"], true_j),
        rmse(ie_j, true_j),
        float(np.mean(inside)),
        float(np.mean(inside_j)),
        scale,
    )


def cases(quick: bool) -> list[Case]:
    sizes = (10**3, 10**5, 10**7) if quick else SIZES
    out = [Case(n, j, 1) for n in sizes for j in JACCARDS]
    out += [Case(n, j, 10) for n in sizes for j in SMALL_B_JACCARDS]
    return out


def speed(p: int, rounds: int = 3) -> tuple[float, int]:
    """Best time of overlaps() over 100,000 pairs of sketch cells (packed,
    10^5 items each, half shared), in seconds."""
    rng = np.random.default_rng(5)
    distinct = 200
    a, b, _, _, _ = make_pairs(rng, Case(150_000, 1 / 3, 1), distinct, p)
    packed_a = [drisk.pack(drisk.load(cell)) for cell in a]
    packed_b = [drisk.pack(drisk.load(cell)) for cell in b]
    try:
        import pyarrow as pa
    except ImportError:
        column_a, column_b = packed_a * 500, packed_b * 500
    else:
        column_a, column_b = pa.array(packed_a * 500, pa.binary()), pa.array(packed_b * 500, pa.binary())
    best = math.inf
    for _ in range(rounds):
        start = time.perf_counter()
        drisk.overlaps(column_a, column_b)
        best = min(best, time.perf_counter() - start)
    return best, distinct * 500


def plot(results: list[Result], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    fig, axes = plt.subplots(1, 2, figsize=(12, 4.4))
    sizes = sorted({r.case.n for r in results})
    colours = plt.cm.viridis(np.linspace(0, 0.9, len(sizes)))
    for n, colour in zip(sizes, colours):
        rows = sorted((r for r in results if r.case.n == n and r.case.ratio == 1), key=lambda r: r.case.jaccard)
        js = [r.case.jaccard for r in rows]
        axes[0].plot(js, [r.rmse_ml for r in rows], color=colour, marker="o", label=f"n = {n:.0e}, joint ML")
        axes[0].plot(
            js, [r.rmse_ie for r in rows], color=colour, linestyle=":", marker="x", label=f"n = {n:.0e}, incl.-excl."
        )
        axes[1].plot(js, [r.ratio for r in rows], color=colour, marker="o", label=f"n = {n:.0e}")
    axes[0].set_yscale("log")
    axes[0].set_ylabel("relative RMSE of |A n B|")
    axes[0].legend(fontsize=7, ncol=2)
    axes[1].axhline(1.0, color="grey", linewidth=0.8)
    axes[1].set_ylim(0, 1.2)
    axes[1].set_ylabel("RMSE of |A n B|: joint ML / inclusion-exclusion")
    axes[1].legend(fontsize=8)
    for ax in axes:
        ax.set_xscale("log")
        ax.set_xlabel("Jaccard index (overlap / union)")
        ax.grid(True, which="both", alpha=0.3)
    fig.suptitle("drisk.overlap (joint maximum likelihood) against inclusion-exclusion (dotted), p = 12, |A| = |B|")
    fig.tight_layout()
    fig.savefig(path, dpi=110)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m bench overlap", description=__doc__.split("\n\n")[0])
    parser.add_argument("--quick", action="store_true", help="fewer cases and pairs")
    parser.add_argument("--pairs", type=int, help="pairs a case (default 200, 50 with --quick)")
    parser.add_argument("--p", type=int, default=12, help="precision (default 12)")
    parser.add_argument("--plot", metavar="PNG", help="draw the RMSE of both methods to this file (needs matplotlib)")
    args = parser.parse_args(argv)
    pairs = args.pairs or (50 if args.quick else 200)
    rng = np.random.default_rng(2017)
    results = []
    print(f"overlap accuracy, p = {args.p}, {pairs} pairs a case; RMSE of |A n B| relative to it, of J absolute")
    print(
        f"{'case':<30} {'|A n B|':>10} {'ML':>8} {'IE':>8} {'ratio':>6} {'J: ML':>8} {'IE':>8} {'ratio':>6} "
        f"{'95% holds I':>11} {'J':>6}"
    )
    for case in cases(args.quick):
        r = measure(rng, case, pairs, args.p)
        results.append(r)
        print(
            f"{case.label():<30} {r.true_intersection:>10.0f} {r.rmse_ml:>8.4f} {r.rmse_ie:>8.4f} {r.ratio:>6.2f} "
            f"{r.rmse_j_ml:>8.5f} {r.rmse_j_ie:>8.5f} {r.ratio_j:>6.2f} {100 * r.covered:>10.1f}% "
            f"{100 * r.covered_j:>5.1f}%"
        )
    ratios = [r.ratio for r in results]
    ratios_j = [r.ratio_j for r in results]
    judged = [r for r in results if r.true_intersection >= COVERAGE_FROM]
    print(
        f"\nintersection RMSE ratio: mean {np.mean(ratios):.3f}, worst {max(ratios):.3f}; "
        f"Jaccard: mean {np.mean(ratios_j):.3f}, worst {max(ratios_j):.3f}"
    )
    if judged:
        print(
            f"95 % intervals, cases with |A n B| >= {COVERAGE_FROM}: intersection held "
            f"{100 * min(r.covered for r in judged):.1f} - {100 * max(r.covered for r in judged):.1f} %, "
            f"Jaccard {100 * min(r.covered_j for r in judged):.1f} - {100 * max(r.covered_j for r in judged):.1f} %"
        )
    seconds, rows = speed(args.p)
    print(
        f"\noverlaps() over {rows:,} pairs of p = {args.p} packed sketches: {1000 * seconds:.0f} ms "
        f"({1e6 * seconds / rows:.2f} us a pair)"
    )
    if args.plot:
        plot(results, args.plot)
        print(f"plot written to {args.plot}")


if __name__ == "__main__":
    main()
