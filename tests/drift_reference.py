"""Independent reference of the drift histograms and metrics: NumPy for the
binning, plain Python floats for the sums (index order), so results can be
compared exactly."""

import math

import numpy as np

EPS = 1e-12
METRICS = ["JensenShannon", "PopulationStabilityIndex", "WassersteinDistance", "KullbackLeibler"]


def edges_for(baseline, num_bins):
    """Lower edges of the interior bins, by repeated addition of the width."""
    x = np.sort(np.asarray(baseline, dtype=np.float64))
    lo, hi = float(x[0]), float(x[-1])
    if lo == hi:
        return [lo]
    k = num_bins - 2
    w = (hi - lo) / k
    edges = [lo]
    for _ in range(1, k):
        edges.append(w + edges[-1])
    return edges


def bin_indices(values, edges, num_bins):
    """Bin of each value: below the first edge (or NaN) 0, above the last edge
    num_bins - 1, else the number of edges <= value."""
    v = np.asarray(values, dtype=np.float64)
    e = np.asarray(edges)
    idx = np.searchsorted(e, v, side="right")  # number of edges <= v
    idx = np.minimum(idx, num_bins - 1)
    idx[v > e[num_bins - 3]] = num_bins - 1
    idx[~(v >= e[0])] = 0
    return idx


def histogram(values, edges, num_bins):
    return np.bincount(bin_indices(values, edges, num_bins), minlength=num_bins).astype(np.float64)


def categorical_counts(labels, ordered_labels):
    index = {label: i for i, label in enumerate(ordered_labels)}
    counts = [0.0] * (len(ordered_labels) + 1)
    for label in labels:
        counts[index.get(label, len(ordered_labels))] += 1.0
    return counts


def metric(name, b, r, n_total, continuous, eps=EPS):
    b = [float(x) for x in b]
    r = [float(x) for x in r]
    n = min(len(b), len(r))
    P = [max(b[i] + eps, eps) for i in range(n)]
    if name == "JensenShannon":
        s = 0.0
        for i in range(n):
            q = max(r[i] / n_total + eps, eps)
            m = (P[i] + q) * 0.5
            s += 0.5 * q * math.log(q / m) + 0.5 * P[i] * math.log(P[i] / m)
        return s / 0.6931471805599453
    if name == "PopulationStabilityIndex":
        s = -0.0
        for i in range(n):
            qs = max((r[i] + eps) / n_total, eps)
            s += (P[i] - qs) * math.log(P[i] / qs)
        return s
    if name == "KullbackLeibler":
        s = -0.0
        for i in range(n):
            qk = (r[i] + eps) / n_total
            s += P[i] * math.log(max(P[i] / qk, eps))
        return s
    if name == "WassersteinDistance":
        if continuous:
            bins = len(b)
            if bins <= 2:
                return 0.0
            s = 0.0
            for i in range(1, bins - 1):
                q = max(r[i] / n_total + eps, eps)
                s += abs(max(b[i] + eps, eps) - q)
            return s / max(bins - 2, 1)
        s = 0.0
        for i in range(n):
            s += abs(P[i] - max(r[i] / n_total + eps, eps))
        return 0.5 * s
    raise ValueError(name)


def index_sum(values):
    s = -0.0
    for v in values:
        s += float(v)
    return s
