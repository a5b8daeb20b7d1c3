"""Accuracy of drisk's estimators and error bounds, with DataSketches beside them.

    python -m bench accuracy [--quick] [--sketches N] [--precisions 10,12,14,16]
                             [--plot docs/accuracy.png] [--no-plot]

For each precision p and each cardinality n from 1 to 10^9 it simulates many
sketches and reports, for drisk's three estimators, the mean relative error
(bias) and the root mean square relative error (RMSE), both relative to the
true count, and how often the 95 % error_bounds interval holds the true count.

How the sketches are made:

* up to 2^16 items, exactly: random 64-bit hashes (numpy) split into index
  and rank the way HyperLogLog.update does, one growing sketch per trial
  measured at every cardinality on the way;
* beyond, from the register model at a fixed count: each register receives a
  Poisson number N_j of items (rate n / m), the true count is their sum
  N = sum N_j (given N, the N_j are exactly multinomial: the fixed-count
  model), and a register holding N_j items takes the maximum of N_j
  geometric ranks, sampled directly by inverting its distribution function
  (1 - 2^-k)^N_j. Errors are measured against the realised N, so the Poisson
  scatter of the count itself does not inflate them.

Apache DataSketches HLL_8 (`datasketches` on PyPI) is fed real items up to a
limit (about 80 ns an update from Python), so its curve stops there.
numpy and matplotlib are needed here only.
"""

from __future__ import annotations

import argparse
import math
import sys
import time
from dataclasses import dataclass, field

import numpy as np

import drisk
from _drisk import HyperLogLog

METHODS = ("classic", "improved", "ml")
HASHED_LIMIT = 1 << 16
CHUNK_HASHES = 1 << 21
CONFIDENCE = 0.95


def grid(per_decade: tuple[float, ...], top: int = 10**9) -> list[int]:
    points = {round(k * 10**e) for e in range(10) for k in per_decade}
    return sorted(n for n in points if 1 <= n <= top)


def cardinalities(p: int, quick: bool) -> list[int]:
    """The grid, plus 2.5 m, where the classic estimator hands over."""
    base = grid((1, 3) if quick else (1, 1.5, 2, 3, 5, 7))
    return sorted(set(base) | {5 * 2**p // 2})


def standard_error(p: int) -> float:
    return 1.04 / math.sqrt(2**p)


# ---------------------------------------------------------------------------
# Making sketches
# ---------------------------------------------------------------------------


def bit_length(w: np.ndarray) -> np.ndarray:
    """Bit length of each uint64, exactly (halves convert to float exactly)."""
    hi = (w >> np.uint64(32)).astype(np.float64)
    lo = (w & np.uint64(0xFFFFFFFF)).astype(np.float64)
    return np.where(hi > 0, 32 + np.frexp(hi)[1], np.frexp(lo)[1])


def add_hashes(regs: np.ndarray, hashes: np.ndarray, p: int) -> None:
    """Insert hashes[s, :] into regs[s, :] as HyperLogLog.update would."""
    sketches, m = regs.shape
    index = (hashes >> np.uint64(64 - p)).astype(np.int64)
    rank = np.minimum(65 - bit_length(hashes << np.uint64(p)), 65 - p).astype(np.uint8)
    flat = index + (np.arange(sketches, dtype=np.int64) * m)[:, None]
    np.maximum.at(regs.reshape(-1), flat.reshape(-1), rank.reshape(-1))


def hashed_sketches(rng: np.random.Generator, p: int, sketches: int, checkpoints: list[int]):
    """Yields (n, registers[sketches, m], truth[sketches]) with n items each."""
    regs = np.zeros((sketches, 2**p), dtype=np.uint8)
    done = 0
    for n in checkpoints:
        while done < n:
            step = min(n - done, max(CHUNK_HASHES // sketches, 1))
            add_hashes(regs, rng.integers(0, 2**64, size=(sketches, step), dtype=np.uint64), p)
            done += step
        yield n, regs, np.full(sketches, n, dtype=np.float64)


def model_sketches(rng: np.random.Generator, p: int, sketches: int, n: int, batch: int = 16):
    """Yields (registers[batch, m], truth[batch]) at a fixed count near n."""
    m, q = 2**p, 64 - p
    for start in range(0, sketches, batch):
        rows = min(batch, sketches - start)
        counts = rng.poisson(n / m, size=(rows, m)).astype(np.float64)
        u = rng.random(size=(rows, m))
        with np.errstate(divide="ignore", invalid="ignore"):
            k = np.ceil(-np.log2(-np.expm1(np.log1p(-u) / counts)))
        k = np.where(counts > 0, np.clip(np.nan_to_num(k, nan=q + 1, posinf=q + 1), 1, q + 1), 0)
        yield k.astype(np.uint8), counts.sum(axis=1)


# ---------------------------------------------------------------------------
# Measuring
# ---------------------------------------------------------------------------


@dataclass
class Point:
    n: int
    errors: dict[str, list[float]] = field(default_factory=lambda: {m: [] for m in METHODS})
    covered: list[bool] = field(default_factory=list)

    def bias(self, method: str) -> float:
        return float(np.mean(self.errors[method]))

    def rmse(self, method: str) -> float:
        return float(np.sqrt(np.mean(np.square(self.errors[method]))))

    def coverage(self) -> float:
        return float(np.mean(self.covered))

    def noise(self, method: str) -> float:
        """Standard error of the mean relative error: the simulation's own noise."""
        return float(np.std(self.errors[method]) / math.sqrt(len(self.errors[method])))


def measure(point: Point, p: int, regs: np.ndarray, truth: np.ndarray) -> None:
    header = bytes([p])
    for row, n in zip(regs, truth):
        sketch = HyperLogLog.from_bytes(header + row.tobytes())
        for method in METHODS:
            point.errors[method].append(drisk.estimate(sketch, method) / n - 1.0)
        lower, upper = drisk.error_bounds(sketch, CONFIDENCE)
        point.covered.append(lower <= n <= upper)


def simulate(p: int, sketches: int, ns: list[int], rng: np.random.Generator) -> list[Point]:
    points = {n: Point(n) for n in ns}
    small = [n for n in ns if n <= HASHED_LIMIT]
    for n, regs, truth in hashed_sketches(rng, p, sketches, small):
        measure(points[n], p, regs, truth)
    for n in (n for n in ns if n > HASHED_LIMIT):
        for regs, truth in model_sketches(rng, p, sketches, n):
            measure(points[n], p, regs, truth)
    return [points[n] for n in ns]


@dataclass
class PeerPoint:
    n: int
    errors: list[float] = field(default_factory=list)
    covered: list[bool] = field(default_factory=list)  # its own 2-sigma bounds (95.4 %)


def simulate_datasketches(p: int, sketches: int, ns: list[int]) -> list[PeerPoint] | None:
    """DataSketches HLL_8 fed real (distinct integer) items up to max(ns)."""
    try:
        import datasketches
    except ImportError:
        return None
    points = [PeerPoint(n) for n in ns]
    for s in range(sketches):
        sk = datasketches.hll_sketch(p, datasketches.tgt_hll_type.HLL_8)
        base = s << 40
        done = 0
        update = sk.update
        for point in points:
            for i in range(base + done, base + point.n):
                update(i)
            done = point.n
            point.errors.append(sk.get_estimate() / point.n - 1.0)
            point.covered.append(sk.get_lower_bound(2) <= point.n <= sk.get_upper_bound(2))
    return points


# ---------------------------------------------------------------------------
# Reporting
# ---------------------------------------------------------------------------


def report(p: int, points: list[Point], peers: list[PeerPoint] | None) -> dict[str, float]:
    se = standard_error(p)
    peer_at = {pp.n: pp for pp in peers or []}
    print(f"\np = {p}: m = {2**p}, 1.04/sqrt(m) = {100 * se:.3f} %; {len(points[0].covered)} sketches a point")
    print(
        "| n | classic bias / RMSE % | improved bias / RMSE % | ml bias / RMSE % "
        "| 95 % bounds cover | DataSketches HLL_8 bias / RMSE % |"
    )
    print("|---:|---:|---:|---:|---:|---:|")
    for pt in points:
        cells = [f"{pt.bias(m) * 100:+.3f} / {pt.rmse(m) * 100:.3f}" for m in METHODS]
        peer = peer_at.get(pt.n)
        peer_cell = (
            (f"{np.mean(peer.errors) * 100:+.3f} / {math.sqrt(np.mean(np.square(peer.errors))) * 100:.3f}")
            if peer
            else ""
        )
        print(f"| {pt.n:,} | " + " | ".join(cells) + f" | {pt.coverage() * 100:.1f} % | {peer_cell} |")
    # Figures against the targets, in units of 1.04/sqrt(m).
    summary: dict[str, float] = {}
    for m in ("improved", "ml"):
        summary[f"{m} worst |bias| (x se)"] = max(abs(pt.bias(m)) for pt in points) / se
        summary[f"{m} worst |bias| less 2 noise (x se)"] = max(abs(pt.bias(m)) - 2 * pt.noise(m) for pt in points) / se
        summary[f"{m} worst RMSE from 100 (x se)"] = max(pt.rmse(m) for pt in points if pt.n >= 100) / se
    summary["classic worst |bias| (x se)"] = max(abs(pt.bias("classic")) for pt in points) / se
    from_100 = [pt.coverage() for pt in points if pt.n >= 100]
    below = [pt.coverage() for pt in points if pt.n < 100]
    summary["coverage min from 100 (%)"] = 100 * min(from_100)
    summary["coverage max from 100 (%)"] = 100 * max(from_100)
    summary["coverage min below 100 (%)"] = 100 * min(below) if below else float("nan")
    sketches = len(points[0].covered)
    summary["coverage noise, 2 sd (%)"] = 200 * math.sqrt(0.95 * 0.05 / sketches)
    for name, value in summary.items():
        print(f"  {name}: {value:.3f}")
    return summary


def plot(results: dict[int, tuple[list[Point], list[PeerPoint] | None]], path: str) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    precisions = sorted(results)
    cols = 2
    rows = (len(precisions) + cols - 1) // cols
    fig, axes = plt.subplots(rows, cols, figsize=(12, 4.2 * rows), squeeze=False, sharex=True)
    colours = {"classic": "tab:red", "improved": "tab:blue", "ml": "tab:green", "DataSketches HLL_8": "tab:grey"}
    for ax, p in zip(axes.flat, precisions):
        points, peers = results[p]
        se = 100 * standard_error(p)
        ns = [pt.n for pt in points]
        for m in METHODS:
            ax.plot(ns, [100 * pt.rmse(m) for pt in points], color=colours[m], label=f"{m} RMSE")
            ax.plot(ns, [100 * pt.bias(m) for pt in points], color=colours[m], linestyle=":", label=f"{m} bias")
        if peers:
            name = "DataSketches HLL_8"
            ax.plot(
                [pp.n for pp in peers],
                [100 * math.sqrt(np.mean(np.square(pp.errors))) for pp in peers],
                color=colours[name],
                label=f"{name} RMSE",
            )
            ax.plot(
                [pp.n for pp in peers],
                [100 * np.mean(pp.errors) for pp in peers],
                color=colours[name],
                linestyle=":",
                label=f"{name} bias",
            )
        ax.axhline(se, color="black", linewidth=0.7, linestyle="--", label="1.04/sqrt(m)")
        ax.axhline(0, color="black", linewidth=0.5)
        ax.axvline(2.5 * 2**p, color="tab:red", linewidth=0.5, alpha=0.5)
        ax.set_xscale("log")
        ax.set_ylim(-0.8 * se, 1.6 * se)
        ax.set_title(f"p = {p} (m = {2**p}), {len(points[0].covered)} sketches a point")
        ax.set_ylabel("relative error, %")
        ax.grid(True, which="major", alpha=0.3)
    for ax in axes[-1]:
        ax.set_xlabel("true distinct count")
    for ax in list(axes.flat)[len(precisions) :]:
        ax.set_visible(False)
    handles, labels = axes.flat[0].get_legend_handles_labels()
    fig.legend(handles, labels, loc="lower center", ncol=5, fontsize=8, frameon=False)
    fig.suptitle("drisk estimators: mean relative error (dotted) and RMSE (solid) against the true count")
    fig.tight_layout(rect=(0, 0.06, 1, 0.97))
    fig.savefig(path, dpi=110)
    plt.close(fig)


def main(argv: list[str] | None = None) -> None:
    parser = argparse.ArgumentParser(prog="python -m bench accuracy", description=__doc__.splitlines()[0])
    parser.add_argument("--quick", action="store_true", help="fewer sketches and cardinalities")
    parser.add_argument("--sketches", type=int, help="sketches a point (default 500, quick 60)")
    parser.add_argument("--precisions", default="10,12,14,16", help="comma-separated p values")
    parser.add_argument(
        "--peer-sketches", type=int, help="DataSketches sketches a point (default 100, quick 20; 0 to skip)"
    )
    parser.add_argument(
        "--peer-limit", type=int, default=None, help="largest count fed to DataSketches (default 10^5, quick 10^4)"
    )
    parser.add_argument("--seed", type=int, default=2024)
    parser.add_argument("--plot", default="docs/accuracy.png", help="where to draw the curves")
    parser.add_argument("--no-plot", action="store_true")
    args = parser.parse_args(argv)

    sketches = args.sketches or (60 if args.quick else 500)
    peer_sketches = args.peer_sketches if args.peer_sketches is not None else (20 if args.quick else 100)
    peer_limit = args.peer_limit or (10**4 if args.quick else 10**5)
    precisions = [int(x) for x in args.precisions.split(",")]
    rng = np.random.default_rng(args.seed)

    results: dict[int, tuple[list[Point], list[PeerPoint] | None]] = {}
    summaries = {}
    for p in precisions:
        start = time.perf_counter()
        ns = cardinalities(p, args.quick)
        points = simulate(p, sketches, ns, rng)
        peers = None
        if peer_sketches > 0:
            peers = simulate_datasketches(p, peer_sketches, [n for n in ns if n <= peer_limit])
        results[p] = (points, peers)
        summaries[p] = report(p, points, peers)
        print(f"  ({time.perf_counter() - start:.1f} s)", file=sys.stderr)

    print(
        "\n| p | improved worst bias | ml worst bias | improved worst RMSE (n >= 100) "
        "| ml worst RMSE (n >= 100) | coverage from 100 | coverage below 100 |"
    )
    print("|---:|---:|---:|---:|---:|---:|---:|")
    for p, s in summaries.items():
        print(
            f"| {p} | {s['improved worst |bias| (x se)']:.3f} se | {s['ml worst |bias| (x se)']:.3f} se"
            f" | {s['improved worst RMSE from 100 (x se)']:.3f} se | {s['ml worst RMSE from 100 (x se)']:.3f} se"
            f" | {s['coverage min from 100 (%)']:.1f} - {s['coverage max from 100 (%)']:.1f} %"
            f" | >= {s['coverage min below 100 (%)']:.1f} % |"
        )
    print(
        "(se = 1.04/sqrt(m); a bias figure includes the simulation's noise, about "
        f"{1 / math.sqrt(sketches):.3f} se; a coverage figure has a noise of "
        f"{100 * math.sqrt(0.95 * 0.05 / sketches):.1f} % (1 sd) at each point)"
    )
    if not args.no_plot:
        plot(results, args.plot)
        print(f"\ncurves drawn into {args.plot}")


if __name__ == "__main__":
    main()
