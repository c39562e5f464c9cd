"""Shared timing for the benchmark scripts: medians of repeats, so that the
ratios they print hold on a shared, noisy machine."""

import statistics
import time

REPEATS = 7


def all_times(*fns, repeats=REPEATS):
    """Every time of each function; the functions run in turn within every
    repeat, so a burst of load on the machine hits all of them alike."""
    times = [[] for _ in fns]
    for _ in range(repeats):
        for fn, out in zip(fns, times):
            start = time.perf_counter()
            fn()
            out.append(time.perf_counter() - start)
    return times


def median_times(*fns, repeats=REPEATS):
    """Median time of each function, run in turn as all_times runs them."""
    return [statistics.median(t) for t in all_times(*fns, repeats=repeats)]


def median_time(fn, repeats=REPEATS):
    """Median time of one function."""
    return median_times(fn, repeats=repeats)[0]


def median_ratio(ours, floor, repeats=15):
    """Median over repeats of ours' time over floor's, the two run back to
    back in each repeat: the machine's speed drifts between repeats more than
    within one, so a ratio of two medians would mix moments."""
    ratios = []
    for _ in range(repeats):
        floor_time, our_time = median_times(floor, ours, repeats=1)
        ratios.append(our_time / floor_time)
    return statistics.median(ratios)

