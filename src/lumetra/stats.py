"""Significance tests of samples and of binned counts, and p-value
adjustments, with SciPy's and statsmodels' names, arguments and results: a
caller can swap ``from scipy import stats`` (or statsmodels' multipletests)
for ``from lumetra import stats``.

- :func:`ks_2samp`, :func:`cramervonmises_2samp`: two samples of numbers;
- :func:`anderson_ksamp`: two or more samples;
- :func:`chisquare_bins`, :func:`g_test_bins`: two samples' counts on the
  same bins, as ``scipy.stats.chi2_contingency`` tests their 2 x B table;
- :func:`multipletests`: Bonferroni, Sidak, Holm, Holm-Sidak,
  Simes-Hochberg, Benjamini-Hochberg and Benjamini-Yekutieli adjustments.

The computations are the engine's (``lumetra._kernels``): each sample is
sorted once and walked once, and the p-values follow SciPy's own choices of
exact and asymptotic distributions. NumPy arrays of any numeric dtype and
layout are read where they are."""

from __future__ import annotations

import itertools
import math
import warnings
from collections.abc import Callable, Sequence
from typing import Any, NamedTuple, Optional, Union, cast

import numpy as np
import numpy.typing as npt

from . import _kernels

__all__ = [
    "SmallSampleWarning",
    "anderson_ksamp",
    "chisquare_bins",
    "cramervonmises_2samp",
    "g_test_bins",
    "ks_2samp",
    "multipletests",
]

_Float = Union[np.float64, npt.NDArray[np.float64]]
_Value = Union[np.generic, npt.NDArray[Any]]


class SmallSampleWarning(RuntimeWarning):
    """A sample too small for the test: every value of the result is NaN (as
    ``scipy.stats`` warns with its class of the same name)."""


_TOO_SMALL = ("One or more sample arguments is too small; all returned values will be NaN. "
              "See documentation for sample size requirements.")
_TOO_SMALL_OMIT = ("After omitting NaNs, one or more sample arguments is too small; all returned values "
                   "will be NaN. See documentation for sample size requirements.")

# The kernels' notes (bits) of conditions to warn about.
_SMALL, _SMALL_OMIT, _EXACT_IMPOSSIBLE, _EXACT_FAILED, _CAPPED, _FLOORED = 1, 2, 4, 8, 16, 32


# ---- results ------------------------------------------------------------------------


class _KstestFields(NamedTuple):
    statistic: _Float
    pvalue: _Float


class KstestResult(_KstestFields):
    """The result of :func:`ks_2samp`: unpacks as ``(statistic, pvalue)``
    and carries ``statistic_location`` (the value where the ECDFs differ the
    most) and ``statistic_sign`` (+1 where the first sample's ECDF is
    above), as SciPy's ``KstestResult``."""

    statistic_location: _Value
    statistic_sign: _Value

    def __new__(cls, statistic: _Float, pvalue: _Float, *, statistic_location: _Value,
                statistic_sign: _Value) -> KstestResult:
        self = super().__new__(cls, statistic, pvalue)
        self.statistic_location = statistic_location
        self.statistic_sign = statistic_sign
        return self

    def __repr__(self) -> str:
        return (f"KstestResult(statistic={self.statistic!r}, pvalue={self.pvalue!r}, "
                f"statistic_location={self.statistic_location!r}, statistic_sign={self.statistic_sign!r})")

    def _asdict(self) -> dict[str, Any]:
        return {"statistic": self.statistic, "pvalue": self.pvalue,
                "statistic_location": self.statistic_location, "statistic_sign": self.statistic_sign}


class CramerVonMisesResult(NamedTuple):
    """The result of :func:`cramervonmises_2samp`: ``statistic`` and
    ``pvalue`` (SciPy's class of the same name, which also unpacks here)."""

    statistic: _Float
    pvalue: _Float

    def __repr__(self) -> str:
        return f"CramerVonMisesResult(statistic={self.statistic}, pvalue={self.pvalue})"


class _AndersonFields(NamedTuple):
    statistic: np.float64
    critical_values: npt.NDArray[np.float64]
    pvalue: np.float64


class Anderson_ksampResult(_AndersonFields):  # noqa: N801 (SciPy's name)
    """The result of :func:`anderson_ksamp`: unpacks as ``(statistic,
    critical_values, pvalue)``; ``significance_level`` is the p-value too,
    as SciPy's result carries it."""

    significance_level: np.float64

    def __new__(cls, statistic: np.float64, critical_values: npt.NDArray[np.float64],
                pvalue: np.float64) -> Anderson_ksampResult:
        self = super().__new__(cls, statistic, critical_values, pvalue)
        self.significance_level = pvalue
        return self


class Chi2ContingencyResult(NamedTuple):
    """The result of :func:`chisquare_bins` and :func:`g_test_bins`:
    ``(statistic, pvalue, dof, expected_freq)``, as SciPy's
    ``chi2_contingency`` returns for the 2 x B table of the bins kept."""

    statistic: np.float64
    pvalue: np.float64
    dof: int
    expected_freq: npt.NDArray[np.float64]


# ---- argument checks ----------------------------------------------------------------


def _one_of(name: str, value: object, accepted: Sequence[str]) -> str:
    if not isinstance(value, str) or value not in accepted:
        listed = ", ".join(repr(a) for a in accepted)
        raise ValueError(f"{name} must be one of {listed}; got {value!r}")
    return value


_NAN_POLICIES = ("propagate", "raise", "omit")


_Plain = Union[npt.NDArray[Any], bool, int, float, np.generic, list["_Plain"]]


def _plain(values: object, name: str, depth: int = 0) -> _Plain:
    """Arrays and numbers as they are; any other iterable as a list of its
    items, taken by Python iteration, nested as deep as it goes. NumPy then
    converts lists of numbers it owns: a sequence that changes itself while
    NumPy walks it can crash NumPy's own conversion."""
    if isinstance(values, (np.ndarray, bool, int, float, np.generic)):
        return values
    if isinstance(values, (str, bytes)) or depth > 32:
        raise TypeError(f"{name} must be array-like of numbers; got {type(values).__name__}")
    try:
        items = list(values)  # type: ignore[call-overload]
    except TypeError:
        raise TypeError(f"{name} must be array-like of numbers; got {type(values).__name__}") from None
    return [_plain(v, name, depth + 1) for v in items]


def _numbers(values: object, name: str) -> npt.NDArray[Any]:
    """The values as an array the kernels read in place: any bool, integer
    or float dtype in native byte order (other floats become float64)."""
    if isinstance(values, np.ma.MaskedArray) and values.mask is not np.ma.nomask and values.mask.any():
        values = cast(Any, values).compressed()  # NumPy 1.x's stubs leave MaskedArray untyped
    try:
        a = np.asarray(_plain(values, name))
    except (TypeError, ValueError, RuntimeError, OverflowError) as e:
        # ValueError: ragged lists; OverflowError: an int beyond 64 bits among others.
        raise TypeError(f"{name} must be array-like of numbers: {e}") from None
    if a.dtype.kind not in "biuf":
        raise TypeError(f"{name} must hold numbers (bool, int or float); got dtype {a.dtype}")
    if a.dtype.kind == "f" and a.dtype.itemsize not in (4, 8):
        a = a.astype(np.float32 if a.dtype.itemsize < 4 else np.float64)
    if not a.dtype.isnative:
        a = a.astype(a.dtype.newbyteorder("="))
    return a


def _flag(name: str, value: object) -> bool:
    if not isinstance(value, (bool, np.bool_)):
        raise TypeError(f"{name} must be True or False; got {value!r}")
    return bool(value)


def _warn(notes: int, stacklevel: int, ks_sizes: Optional[tuple[int, int]] = None) -> None:
    if notes & _SMALL:
        warnings.warn(_TOO_SMALL, SmallSampleWarning, stacklevel=stacklevel + 1)
    if notes & _SMALL_OMIT:
        warnings.warn(_TOO_SMALL_OMIT, SmallSampleWarning, stacklevel=stacklevel + 1)
    if notes & _EXACT_IMPOSSIBLE and ks_sizes is not None:
        warnings.warn(f"Exact ks_2samp calculation not possible with samples sizes {ks_sizes[0]} and "
                      f"{ks_sizes[1]}. Switching to 'asymp'.", RuntimeWarning, stacklevel=stacklevel + 1)
    if notes & _EXACT_FAILED:
        warnings.warn("ks_2samp: Exact calculation unsuccessful. Switching to method=asymp.", RuntimeWarning,
                      stacklevel=stacklevel + 1)
    if notes & _CAPPED:
        warnings.warn("p-value capped: true value larger than 0.25", UserWarning, stacklevel=stacklevel + 1)
    if notes & _FLOORED:
        warnings.warn("p-value floored: true value smaller than 0.001", UserWarning, stacklevel=stacklevel + 1)


# One 1-D test of two samples: its values and the notes to warn about.
_OneTest = Callable[[npt.NDArray[Any], npt.NDArray[Any]], tuple[tuple[Any, ...], int]]


def _two_samples(x: object, y: object, axis: Optional[int], keepdims: bool, test: _OneTest,
                 stacklevel: int) -> tuple[Any, ...]:
    """Runs a test of two samples along `axis` as SciPy's tests do: 1-D
    samples give scalars; N-D ones are broadcast against each other outside
    the axis and give arrays (float64) of one value per slice. `axis` None
    tests the raveled samples; `keepdims` keeps the tested axis, of length 1."""
    keep = _flag("keepdims", keepdims)
    a = _numbers(x, "x")
    b = _numbers(y, "y")
    if axis is None:
        a, b = a.ravel(), b.ravel()
        tested_axis = 0
    else:
        if isinstance(axis, bool) or not isinstance(axis, (int, np.integer)):
            raise TypeError(f"axis must be an int or None; got {axis!r}")
        tested_axis = int(axis)
    ndim = max(a.ndim, b.ndim, 1)
    if not -ndim <= tested_axis < ndim:
        raise np.exceptions.AxisError(tested_axis, ndim)
    tested_axis %= ndim
    a = a.reshape((1,) * (ndim - a.ndim) + a.shape)
    b = b.reshape((1,) * (ndim - b.ndim) + b.shape)
    if ndim == 1:
        values, notes = test(a, b)
        _warn(notes, stacklevel + 1, (a.size, b.size))
        if keep:
            return tuple(np.asarray([v], dtype=np.float64) for v in values)
        return values
    a = np.moveaxis(a, tested_axis, -1)
    b = np.moveaxis(b, tested_axis, -1)
    try:
        batch = np.broadcast_shapes(a.shape[:-1], b.shape[:-1])
    except ValueError:
        raise ValueError(f"the samples' shapes {a.shape} and {b.shape} do not broadcast outside the tested axis"
                         ) from None
    a = np.broadcast_to(a, batch + a.shape[-1:])
    b = np.broadcast_to(b, batch + b.shape[-1:])
    rows: list[tuple[Any, ...]] = []
    all_notes = 0
    if a.shape[-1] == 0 or b.shape[-1] == 0 or math.prod(batch) == 0:
        # Every slice is empty (or there is none): NaN throughout.
        fields = len(test(np.zeros(0), np.zeros(0))[0])
        nan = np.empty(batch)  # (np.full would raise a MemoryError of its own)
        nan.fill(np.nan)
        _warn(_SMALL if nan.size else 0, stacklevel + 1)
        return tuple(np.expand_dims(nan, tested_axis) if keep else nan for _ in range(fields))
    for index in itertools.product(*(range(d) for d in batch)):
        values, notes = test(a[index], b[index])
        rows.append(values)
        all_notes |= notes
    _warn(all_notes, stacklevel + 1)
    out = []
    for f in range(len(rows[0])):
        column = np.asarray([row[f] for row in rows], dtype=np.float64).reshape(batch)
        out.append(np.expand_dims(column, tested_axis) if keep else column)
    return tuple(out)


# ---- Kolmogorov-Smirnov ------------------------------------------------------------


def ks_2samp(data1: npt.ArrayLike, data2: npt.ArrayLike, alternative: str = "two-sided", method: str = "auto", *,
             axis: Optional[int] = 0, nan_policy: str = "propagate", keepdims: bool = False) -> KstestResult:
    """The two-sample Kolmogorov-Smirnov test, as ``scipy.stats.ks_2samp``.

    The statistic is the largest difference between the samples' empirical
    distribution functions (``alternative`` 'two-sided', or its signed
    parts 'less' and 'greater'; a first letter is enough). ``method`` 'auto'
    computes the exact p-value when neither sample exceeds 10000 values,
    else the asymptotic one; 'exact' falls back to 'asymp' (with a
    RuntimeWarning) where the exact distribution cannot be computed. An
    empty sample gives NaN with a :class:`SmallSampleWarning`; ``nan_policy``
    'propagate' gives NaN for a sample holding NaN, 'omit' drops the NaNs,
    'raise' raises ValueError."""
    _one_of("method", method, ("auto", "exact", "asymp"))
    if isinstance(alternative, str) and alternative:
        alternative = {"t": "two-sided", "g": "greater", "l": "less"}.get(alternative.lower()[0], alternative)
    _one_of("alternative", alternative, ("two-sided", "less", "greater"))
    _one_of("nan_policy", nan_policy, _NAN_POLICIES)

    def one(x: npt.NDArray[Any], y: npt.NDArray[Any]) -> tuple[tuple[Any, ...], int]:
        stat, p, location, sign, notes = _kernels.ks_2samp(x, y, alternative, method, nan_policy)
        if math.isnan(sign):
            return (np.float64(stat), np.float64(p), np.float64(location), np.float64(sign)), notes
        where = np.result_type(x.dtype, y.dtype).type(location)
        return (np.float64(stat), np.float64(p), where, np.int8(sign)), notes

    s, p, loc, sign = _two_samples(data1, data2, axis, keepdims, one, stacklevel=2)
    return KstestResult(s, p, statistic_location=loc, statistic_sign=sign)


# ---- Cramer-von Mises --------------------------------------------------------------


def cramervonmises_2samp(x: npt.ArrayLike, y: npt.ArrayLike, method: str = "auto", *, axis: Optional[int] = 0,
                         nan_policy: str = "propagate", keepdims: bool = False) -> CramerVonMisesResult:
    """The two-sample Cramer-von Mises test, as
    ``scipy.stats.cramervonmises_2samp``: the statistic T from the pooled
    midranks, and its p-value, exact (``method`` 'exact', or 'auto' when
    neither sample exceeds 20 values) or from Anderson's normalisation onto
    the limiting distribution ('asymptotic'). A sample of fewer than two
    values gives NaN with a :class:`SmallSampleWarning`; ``nan_policy`` as
    :func:`ks_2samp`'s."""
    _one_of("method", method, ("auto", "exact", "asymptotic"))
    _one_of("nan_policy", nan_policy, _NAN_POLICIES)

    def one(a: npt.NDArray[Any], b: npt.NDArray[Any]) -> tuple[tuple[Any, ...], int]:
        stat, p, notes = _kernels.cramervonmises_2samp(a, b, method, nan_policy)
        return (np.float64(stat), np.float64(p)), notes

    s, p = _two_samples(x, y, axis, keepdims, one, stacklevel=2)
    return CramerVonMisesResult(s, p)


# ---- Anderson-Darling --------------------------------------------------------------


def anderson_ksamp(samples: Sequence[npt.ArrayLike], midrank: bool = True, *, variant: Optional[str] = None,
                   method: None = None) -> Anderson_ksampResult:
    """The k-sample Anderson-Darling test, as ``scipy.stats.anderson_ksamp``.

    ``variant`` 'midrank' (the default, for continuous and discrete data),
    'right' (the right-continuous ECDF, also ``midrank=False``) or
    'continuous' (no ties). The statistic is normalised by its mean and
    standard deviation; the p-value interpolates the logarithm of the
    significance levels 25% to 0.1% quadratically in Scholz and Stephens'
    critical values (returned too), and is capped at 0.25 or floored at
    0.001 outside them, with a UserWarning. NaN counts as a value above all
    others. Only the interpolated p-value is offered: ``method`` must be None."""
    if method is not None:
        raise ValueError(f"method must be None (the interpolated p-value); got {method!r}")
    if variant is None:
        variant = "midrank" if _flag("midrank", midrank) else "right"
    _one_of("variant", variant, ("midrank", "right", "continuous"))
    if isinstance(samples, (str, bytes)):
        raise TypeError("samples must be a sequence of samples")
    try:
        samples = list(samples)  # any iterable, as SciPy takes it
    except TypeError:
        raise TypeError(f"samples must be a sequence of samples; got {type(samples).__name__}") from None
    if len(samples) < 2:
        raise ValueError("anderson_ksamp needs at least two samples")
    arrays = []
    for i, sample in enumerate(samples):
        a = _numbers(sample, f"samples[{i}]")
        if a.ndim > 1:
            raise ValueError(f"samples[{i}] must be 1-D; got shape {a.shape}")
        arrays.append(a.ravel())
    values = _numbers(np.concatenate(arrays), "samples")
    sizes = np.array([a.size for a in arrays], dtype=np.int64)
    stat, critical, p, notes = _kernels.anderson_ksamp(values, sizes, variant)
    _warn(notes, 2)
    return Anderson_ksampResult(np.float64(stat), critical, np.float64(p))


# ---- chi-square and G on bins -------------------------------------------------------

_LAMBDA_NAMES = {
    "pearson": 1.0,
    "log-likelihood": 0.0,
    "freeman-tukey": -0.5,
    "mod-log-likelihood": -1.0,
    "neyman": -2.0,
    "cressie-read": 2.0 / 3.0,
}


def _counts(values: object, name: str) -> npt.NDArray[Any]:
    a = _numbers(values, name)
    if a.ndim != 1:
        raise ValueError(f"{name} must be 1-D (one count per bin); got shape {a.shape}")
    return a


def chisquare_bins(reference_counts: npt.ArrayLike, current_counts: npt.ArrayLike, *, correction: bool = True,
                   lambda_: Union[None, str, float] = None) -> Chi2ContingencyResult:
    """The chi-square test that two samples' counts on the same bins (the
    unseen-label bin included) come from one distribution: SciPy's
    ``chi2_contingency`` on the 2 x B table ``[reference_counts,
    current_counts]``, with the bins empty on both sides dropped (they have
    no expected frequency). Yates' correction applies when the table left
    has one degree of freedom and ``correction`` is set; ``lambda_`` chooses
    the power divergence as SciPy's does (None: Pearson's chi-square;
    'log-likelihood' is the G test, see :func:`g_test_bins`). Returns the
    statistic, its p-value, the degrees of freedom and the expected
    frequencies of the kept bins (2 x kept). ValueError for negative counts,
    for no count at all, and for a side whose counts sum to zero."""
    if lambda_ is None:
        power = 1.0
    elif isinstance(lambda_, str):
        if lambda_ not in _LAMBDA_NAMES:
            names = ", ".join(repr(n) for n in _LAMBDA_NAMES)
            raise ValueError(f"lambda_ must be a number or one of {names}; got {lambda_!r}")
        power = _LAMBDA_NAMES[lambda_]
    elif isinstance(lambda_, (int, float, np.integer, np.floating)) and not isinstance(lambda_, bool):
        power = float(lambda_)
    else:
        raise TypeError(f"lambda_ must be None, a str or a number; got {lambda_!r}")
    reference = _counts(reference_counts, "reference_counts")
    current = _counts(current_counts, "current_counts")
    stat, p, dof, expected = _kernels.contingency_bins(reference, current, _flag("correction", correction), power)
    return Chi2ContingencyResult(np.float64(stat), np.float64(p), int(dof), expected)


def g_test_bins(reference_counts: npt.ArrayLike, current_counts: npt.ArrayLike, *,
                correction: bool = True) -> Chi2ContingencyResult:
    """The G test (log-likelihood ratio) of two samples' counts on the same
    bins: :func:`chisquare_bins` with ``lambda_='log-likelihood'``, SciPy's
    ``chi2_contingency(table, lambda_='log-likelihood')``."""
    return chisquare_bins(reference_counts, current_counts, correction=correction, lambda_="log-likelihood")


# ---- p-value adjustments ------------------------------------------------------------

_METHODS = {
    "b": "bonferroni", "bonf": "bonferroni", "bonferroni": "bonferroni",
    "s": "sidak", "sidak": "sidak",
    "hs": "holm-sidak", "holm-sidak": "holm-sidak",
    "h": "holm", "holm": "holm",
    "sh": "simes-hochberg", "simes-hochberg": "simes-hochberg",
    "fdr_bh": "fdr_bh", "fdr_i": "fdr_bh", "fdr_p": "fdr_bh", "fdri": "fdr_bh", "fdrp": "fdr_bh",
    "fdr_by": "fdr_by", "fdr_n": "fdr_by", "fdr_c": "fdr_by", "fdrn": "fdr_by", "fdrcorr": "fdr_by",
}


def multipletests(pvals: npt.ArrayLike, alpha: float = 0.05, method: str = "hs", maxiter: int = 1,
                  is_sorted: bool = False, returnsorted: bool = False
                  ) -> tuple[npt.NDArray[np.bool_], npt.NDArray[np.float64], float, float]:
    """Rejections and adjusted p-values of many tests, as statsmodels'
    ``multipletests``: ``method`` 'bonferroni', 'sidak', 'holm-sidak' (the
    default, 'hs'), 'holm', 'simes-hochberg', 'fdr_bh' (Benjamini-Hochberg)
    or 'fdr_by' (Benjamini-Yekutieli), or statsmodels' short names for them.
    Returns (reject, pvals_corrected, alphacSidak, alphacBonf) in the order
    of ``pvals`` (sorted, with ``returnsorted``); ``is_sorted`` takes the
    p-values as sorted already. ``maxiter`` is accepted for statsmodels'
    two-stage methods, which are not offered. NaN p-values sort last and
    spread as statsmodels' running maxima and minima spread them."""
    if not isinstance(method, str) or method.lower() not in _METHODS:
        names = ", ".join(repr(n) for n in dict.fromkeys(_METHODS.values()))
        raise ValueError(f"method must be one of {names} (or statsmodels' short names for them); got {method!r}")
    try:
        p = np.ascontiguousarray(np.asarray(_plain(pvals, "pvals"), dtype=np.float64))
    except (TypeError, ValueError, RuntimeError, OverflowError) as e:
        raise TypeError(f"pvals must be a 1-D sequence of numbers: {e}") from None
    if p.ndim != 1:
        raise ValueError(f"pvals must be 1-dimensional; got shape {p.shape}")
    alphaf = float(alpha)
    ntests = p.size
    if ntests > 0:
        alphac_sidak = float(1 - np.power((1.0 - alphaf), 1.0 / ntests))
        alphac_bonf = alphaf / float(ntests)
    else:
        alphac_sidak = alphac_bonf = math.nan
    if isinstance(maxiter, bool) or not isinstance(maxiter, (int, np.integer)):
        raise TypeError(f"maxiter must be an int; got {maxiter!r}")
    reject, corrected = _kernels.multipletests(p, alphaf, _METHODS[method.lower()], _flag("is_sorted", is_sorted),
                                               _flag("returnsorted", returnsorted))
    return reject, corrected, alphac_sidak, alphac_bonf
