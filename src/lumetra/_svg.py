"""Inline SVG pictures for the HTML report, drawn from numbers the engine computed.

Nothing here computes a statistic: the functions only place the numbers they are
given on a canvas. Each returns one ``<svg>`` element as text, with every label
escaped, so the report needs no script, font or image from anywhere else.
"""

from __future__ import annotations

import math
from html import escape
from typing import Sequence

REFERENCE_COLOUR = "#7b8fc7"
CURRENT_COLOUR = "#e8743b"

_FONT = 'font-family="system-ui,sans-serif" font-size="11"'


def number(value: float | int | None) -> str:
    """Text of a number as the report shows it (four significant digits)."""
    if value is None:
        return "–"
    if isinstance(value, bool):
        return str(value)
    if isinstance(value, int):
        return str(value)
    if math.isnan(value):
        return "NaN"
    if math.isinf(value):
        return "∞" if value > 0 else "−∞"
    text = f"{value:.4g}"
    return text.replace("-", "−")


def _fmt(x: float) -> str:
    # Coordinates with two decimals keep the markup small and the bars crisp
    # (%g drops the zeros the rounding leaves; coordinates stay below 10^6).
    return "%g" % round(x, 2)


def histogram(
    labels: Sequence[str],
    reference: Sequence[float],
    current: Sequence[float],
    *,
    title: str,
    width: int = 640,
    height: int = 200,
) -> str:
    """Reference and current shares per bin, side by side in each bin's slot.

    ``labels`` name the bins (shown below the axis, thinned out when there are
    many); ``reference`` and ``current`` are the shares of the two samples in
    each bin. Both series share one vertical scale.
    """
    count = len(labels)
    left, right, top, bottom = 70, 8, 22, 56
    plot_w = width - left - right
    plot_h = height - top - bottom
    finite = [v for v in (*reference, *current) if math.isfinite(v)]
    peak = max(finite, default=0.0)
    scale = plot_h / peak if peak > 0 else 0.0
    slot = plot_w / count if count else plot_w

    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" '
        f'width="{width}" height="{height}" role="img" aria-label="{escape(title)}" {_FONT}>',
        f"<title>{escape(title)}</title>",
    ]
    # Guide lines at round shares up to the tallest bar.
    for tick in _ticks(peak):
        y = top + plot_h - tick * scale
        parts.append(
            f'<line x1="{left}" x2="{left + plot_w}" y1="{_fmt(y)}" y2="{_fmt(y)}" stroke="#e3e3e3"/>'
            f'<text x="{left - 4}" y="{_fmt(y + 4)}" text-anchor="end" fill="#666">'
            f"{escape(number(tick))}</text>"
        )
    for series, colour, offset in ((reference, REFERENCE_COLOUR, 0.0), (current, CURRENT_COLOUR, 0.5)):
        path = []
        bar_w = max(slot * 0.45, 0.3)
        for i, value in enumerate(series[:count]):
            h = value * scale if math.isfinite(value) else 0.0
            # A bar lower than a fifth of a pixel would not show; leaving it out
            # keeps a column of thousands of nearly empty bins small.
            if h < 0.2:
                continue
            x = left + i * slot + slot * (0.05 + offset * 0.9)
            y = top + plot_h - h
            path.append(f"M{_fmt(x)} {_fmt(y)}h{_fmt(bar_w)}v{_fmt(h)}h-{_fmt(bar_w)}z")
        if path:
            parts.append(f'<path fill="{colour}" d="{"".join(path)}"/>')
    base = top + plot_h
    parts.append(f'<line x1="{left}" x2="{left + plot_w}" y1="{base}" y2="{base}" stroke="#888"/>')
    # At most about twelve bin labels, evenly spread, always the first and last.
    step = max(1, math.ceil(count / 12))
    shown = set(range(0, count, step)) | ({count - 1} if count else set())
    for i in sorted(shown):
        x = left + (i + 0.5) * slot
        parts.append(
            f'<text x="{_fmt(x)}" y="{base + 14}" text-anchor="end" fill="#444" '
            f'transform="rotate(-30 {_fmt(x)} {base + 14})">{escape(labels[i])}</text>'
        )
    parts.append(_legend(left, 12))
    parts.append("</svg>")
    return "".join(parts)


def _ticks(peak: float) -> list[float]:
    """Round values (1, 2 or 5 times a power of ten) from 0 up to ``peak``."""
    if not peak > 0 or not math.isfinite(peak):
        return []
    raw = peak / 4
    power = 10 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 5, 10) if m * power >= raw)
    return [i * step for i in range(1, int(peak / step + 1e-9) + 1)]


def _legend(x: float, y: float) -> str:
    return (
        f'<rect x="{x}" y="{y - 8}" width="10" height="10" fill="{REFERENCE_COLOUR}"/>'
        f'<text x="{x + 14}" y="{y + 1}" fill="#333">reference</text>'
        f'<rect x="{x + 84}" y="{y - 8}" width="10" height="10" fill="{CURRENT_COLOUR}"/>'
        f'<text x="{x + 98}" y="{y + 1}" fill="#333">current</text>'
    )


def marker_pair(reference: float, current: float, *, width: int = 150, height: int = 14) -> str:
    """Where a metric's reference and current values lie, for one table row.

    The scale is symmetric around zero (the grey tick) and reaches the larger
    magnitude of the two values, so each row shows direction and relative size;
    the numbers stand in the row beside it. A value that is not finite is left out.
    """
    pad = 5
    mid = width / 2
    y = height / 2
    reach = max((abs(v) for v in (reference, current) if math.isfinite(v)), default=0.0) or 1.0

    def at(v: float) -> float:
        return mid + (v / reach) * (mid - pad)

    parts = [
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {width} {height}" width="{width}" '
        f'height="{height}" role="img" aria-label="reference {escape(number(reference))}, '
        f'current {escape(number(current))}">',
        f'<line x1="{pad}" x2="{width - pad}" y1="{_fmt(y)}" y2="{_fmt(y)}" stroke="#eee"/>',
        f'<line x1="{_fmt(mid)}" x2="{_fmt(mid)}" y1="1" y2="{height - 1}" stroke="#bbb"/>',
    ]
    if math.isfinite(reference) and math.isfinite(current):
        parts.append(
            f'<line x1="{_fmt(at(reference))}" x2="{_fmt(at(current))}" y1="{_fmt(y)}" y2="{_fmt(y)}" '
            f'stroke="#999" stroke-width="2"/>'
        )
    for value, colour in ((reference, REFERENCE_COLOUR), (current, CURRENT_COLOUR)):
        if math.isfinite(value):
            parts.append(f'<circle cx="{_fmt(at(value))}" cy="{_fmt(y)}" r="4" fill="{colour}"/>')
    parts.append("</svg>")
    return "".join(parts)


# ---- diagnostics: curves, heat maps, signed bars ------------------------------------------


def _axis_ticks(low: float, high: float, count: int = 5) -> list[float]:
    """Round values (1, 2 or 5 times a power of ten) spanning [low, high]."""
    if not (math.isfinite(low) and math.isfinite(high)) or high <= low:
        return [low] if math.isfinite(low) else []
    raw = (high - low) / count
    power = 10 ** math.floor(math.log10(raw))
    step = next(m * power for m in (1, 2, 5, 10) if m * power >= raw)
    first = math.ceil(low / step - 1e-9)
    ticks = []
    k = first
    while k * step <= high + step * 1e-9:
        ticks.append(0.0 if abs(k * step) < step * 1e-9 else k * step)
        k += 1
    return ticks


class _Frame:
    """A plot area: data coordinates [x0, x1] x [y0, y1] on a canvas, with
    the axes, their ticks and their labels drawn."""

    def __init__(self, width: int, height: int, x: tuple[float, float], y: tuple[float, float],
                 left: int = 52, right: int = 10, top: int = 24, bottom: int = 40) -> None:
        self.width, self.height = width, height
        self.left, self.top = left, top
        self.plot_w, self.plot_h = width - left - right, height - top - bottom
        self.x0, self.x1 = x
        self.y0, self.y1 = y

    def px(self, x: float) -> float:
        return self.left + (x - self.x0) / (self.x1 - self.x0) * self.plot_w

    def py(self, y: float) -> float:
        return self.top + self.plot_h - (y - self.y0) / (self.y1 - self.y0) * self.plot_h

    def open(self, title: str) -> list[str]:
        return [
            f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 {self.width} {self.height}" '
            f'width="{self.width}" height="{self.height}" role="img" aria-label="{escape(title)}" {_FONT}>',
            f"<title>{escape(title)}</title>",
        ]

    def axes(self, x_label: str, y_label: str, x_ticks: Sequence[float], y_ticks: Sequence[float],
             x_texts: Sequence[str] | None = None) -> list[str]:
        """The axes; each x tick is labelled by its number, or by `x_texts`."""
        base, right = self.top + self.plot_h, self.left + self.plot_w
        parts = []
        for t in y_ticks:
            y = _fmt(self.py(t))
            parts.append(f'<line x1="{self.left}" x2="{right}" y1="{y}" y2="{y}" stroke="#eee"/>'
                         f'<text x="{self.left - 4}" y="{_fmt(self.py(t) + 4)}" text-anchor="end" fill="#666">'
                         f"{escape(number(t))}</text>")
        for i, t in enumerate(x_ticks):
            x = _fmt(self.px(t))
            text = number(t) if x_texts is None else x_texts[i]
            parts.append(f'<line x1="{x}" x2="{x}" y1="{base}" y2="{base + 4}" stroke="#888"/>'
                         f'<text x="{x}" y="{base + 15}" text-anchor="middle" fill="#666">{escape(text)}</text>')
        parts.append(f'<path d="M{self.left} {self.top}V{base}H{right}" fill="none" stroke="#888"/>')
        parts.append(f'<text x="{_fmt(self.left + self.plot_w / 2)}" y="{self.height - 6}" text-anchor="middle" '
                     f'fill="#333">{escape(x_label)}</text>')
        mid = _fmt(self.top + self.plot_h / 2)
        parts.append(f'<text x="12" y="{mid}" text-anchor="middle" fill="#333" '
                     f'transform="rotate(-90 12 {mid})">{escape(y_label)}</text>')
        return parts


def curves(
    series: Sequence[tuple[str, str, Sequence[float], Sequence[float]]],
    *,
    title: str,
    x_label: str,
    y_label: str,
    diagonal: bool = True,
    markers: bool = False,
    legend: str = "upper left",
    width: int = 320,
    height: int = 300,
) -> str:
    """Lines through (x, y) points on the unit square, one per series of
    (legend text, colour, xs, ys); the diagonal y = x dashed when asked.
    Points that are not finite are left out. `legend` places the legend in
    a corner: "upper left", "lower left" or "lower right"."""
    f = _Frame(width, height, (0.0, 1.0), (0.0, 1.0))
    ticks = [0.0, 0.2, 0.4, 0.6, 0.8, 1.0]
    parts = f.open(title) + f.axes(x_label, y_label, ticks, ticks)
    if diagonal:
        parts.append(f'<line x1="{_fmt(f.px(0))}" y1="{_fmt(f.py(0))}" x2="{_fmt(f.px(1))}" y2="{_fmt(f.py(1))}" '
                     f'stroke="#bbb" stroke-dasharray="4 3"/>')
    for i, (text, colour, xs, ys) in enumerate(series):
        points = [(f.px(x), f.py(y)) for x, y in zip(xs, ys) if math.isfinite(x) and math.isfinite(y)]
        if points:
            d = "M" + "L".join(f"{_fmt(x)} {_fmt(y)}" for x, y in points)
            parts.append(f'<path d="{d}" fill="none" stroke="{colour}" stroke-width="1.8"/>')
            if markers:
                parts.append("".join(f'<circle cx="{_fmt(x)}" cy="{_fmt(y)}" r="2.6" fill="{colour}"/>'
                                     for x, y in points))
        lower = legend.startswith("lower")
        ly = f.top + (f.plot_h - 8 - 14 * (len(series) - 1 - i) if lower else 12 + 14 * i)
        lx = f.left + (f.plot_w - 150 if legend.endswith("right") else 8)
        parts.append(f'<line x1="{lx}" x2="{lx + 14}" y1="{ly - 4}" y2="{ly - 4}" stroke="{colour}" '
                     f'stroke-width="2"/><text x="{lx + 18}" y="{ly}" fill="#333">{escape(text)}</text>')
    parts.append("</svg>")
    return "".join(parts)


# Shades of a heat map, from the fewest to the most rows.
_SHADES = ("#e4e9f5", "#c3cdea", "#9fafdc", "#7b8fc7", "#5a6fb0", "#3d5196", "#25377a", "#14225a")


def heatmap(
    counts: Sequence[Sequence[int]],
    edges: Sequence[float],
    *,
    title: str,
    caption: str,
    x_label: str,
    y_label: str,
    width: int = 300,
    height: int = 300,
) -> str:
    """A square grid of counts, counts[i][j] drawn at column j (x, over the
    edges) and row i (y, over the same edges), shaded by the logarithm of
    the count (empty cells blank), with the diagonal y = x."""
    lo, hi = edges[0], edges[-1]
    f = _Frame(width, height, (lo, hi), (lo, hi))
    ticks = _axis_ticks(lo, hi)
    parts = f.open(title) + f.axes(x_label, y_label, ticks, ticks)
    peak = max((c for row in counts for c in row), default=0)
    paths: list[list[str]] = [[] for _ in _SHADES]
    for i, row in enumerate(counts):
        y_top, y_bottom = f.py(edges[i + 1]), f.py(edges[i])
        for j, c in enumerate(row):
            if c <= 0:
                continue
            level = 0 if peak <= 1 else min(len(_SHADES) - 1, int(math.log(c) / math.log(peak) * len(_SHADES)))
            x_left, x_right = f.px(edges[j]), f.px(edges[j + 1])
            paths[level].append(f"M{_fmt(x_left)} {_fmt(y_top)}H{_fmt(x_right)}V{_fmt(y_bottom)}H{_fmt(x_left)}z")
    for shade, cells in zip(_SHADES, paths):
        if cells:
            parts.append(f'<path fill="{shade}" d="{"".join(cells)}"/>')
    parts.append(f'<line x1="{_fmt(f.px(lo))}" y1="{_fmt(f.py(lo))}" x2="{_fmt(f.px(hi))}" y2="{_fmt(f.py(hi))}" '
                 f'stroke="{CURRENT_COLOUR}" stroke-width="1" stroke-dasharray="4 3"/>')
    parts.append(f'<text x="{f.left}" y="14" fill="#333" font-weight="600">{escape(caption)}</text>'
                 f'<text x="{width - 10}" y="14" text-anchor="end" fill="#666">darkest: {escape(number(peak))} rows'
                 f"</text>")
    parts.append("</svg>")
    return "".join(parts)


def bars(
    labels: Sequence[str],
    reference: Sequence[float],
    current: Sequence[float],
    *,
    title: str,
    x_label: str,
    y_label: str,
    width: int = 460,
    height: int = 220,
) -> str:
    """Reference and current values per slot, side by side, on one scale that
    holds zero (values may be negative); a value that is not finite is left out."""
    finite = [v for v in (*reference, *current) if math.isfinite(v)]
    low, high = min(finite + [0.0]), max(finite + [0.0])
    if high == low:
        high = low + 1.0
    ticks = _axis_ticks(low, high, 4)
    f = _Frame(width, height, (0.0, 1.0), (min([low] + ticks), max([high] + ticks)), left=60)
    parts = f.open(title) + f.axes(x_label, y_label, [], ticks)
    count = len(labels)
    slot = f.plot_w / count if count else f.plot_w
    zero = f.py(0.0)
    for series, colour, offset in ((reference, REFERENCE_COLOUR, 0.0), (current, CURRENT_COLOUR, 0.5)):
        path = []
        bar_w = max(slot * 0.42, 0.3)
        for i, value in enumerate(series[:count]):
            if not math.isfinite(value):
                continue
            x = f.left + i * slot + slot * (0.06 + offset * 0.88)
            top = min(zero, f.py(value))
            h = abs(f.py(value) - zero)
            if h < 0.2:
                continue
            path.append(f"M{_fmt(x)} {_fmt(top)}h{_fmt(bar_w)}v{_fmt(h)}h-{_fmt(bar_w)}z")
        if path:
            parts.append(f'<path fill="{colour}" d="{"".join(path)}"/>')
    parts.append(f'<line x1="{f.left}" x2="{f.left + f.plot_w}" y1="{_fmt(zero)}" y2="{_fmt(zero)}" stroke="#888"/>')
    base = f.top + f.plot_h
    for i, text in enumerate(labels):
        parts.append(f'<text x="{_fmt(f.left + (i + 0.5) * slot)}" y="{base + 15}" text-anchor="middle" '
                     f'fill="#444">{escape(text)}</text>')
    parts.append(_legend(f.left, 12))
    parts.append("</svg>")
    return "".join(parts)


# ---- timelines: a metric per period against its band ------------------------------------------

ALERT_COLOUR = "#c62828"
CUSUM_COLOUR = "#6a1b9a"
BAND_COLOUR = "#dfe5f3"


def timeline(
    periods: Sequence[str],
    values: Sequence[float],
    lower: Sequence[float],
    upper: Sequence[float],
    alerts: Sequence[bool],
    cusum_alerts: Sequence[bool],
    *,
    title: str,
    width: int = 360,
    height: int = 150,
) -> str:
    """A metric's value in each period (named by `periods`) as a line over
    its band, the band shaded from `lower` to `upper` in each period's slot.
    A period outside its band has a filled dot, one whose CUSUM alerts a
    ring (both when both). The line breaks where a period has no value; an
    infinite bound reaches the edge of the plot, a NaN one draws no band."""
    count = len(periods)
    finite = [v for v in (*values, *lower, *upper) if math.isfinite(v)]
    low, high = min(finite, default=0.0), max(finite, default=1.0)
    if high == low:
        low, high = low - 0.5 * (abs(low) or 1.0), high + 0.5 * (abs(high) or 1.0)
    pad = (high - low) * 0.05
    ticks = _axis_ticks(low - pad, high + pad, 4)
    f = _Frame(width, height, (-0.5, max(count, 1) - 0.5), (min([low - pad] + ticks), max([high + pad] + ticks)),
               left=56, right=34, top=8, bottom=22)
    # About one label per 90 pixels, always the first and the last period.
    step = max(1, math.ceil(count / max(1, f.plot_w // 90)))
    shown = sorted(set(range(0, count, step)) | ({count - 1} if count else set()))
    if len(shown) > 1 and shown[-1] - shown[-2] < step / 2:
        del shown[-2]
    parts = f.open(title) + f.axes("", "", [float(i) for i in shown], ticks, [periods[i] for i in shown])
    top, bottom = f.top, f.top + f.plot_h
    cells = []
    for p in range(count):
        lo, hi = (lower[p], upper[p]) if p < len(lower) and p < len(upper) else (math.nan, math.nan)
        if math.isnan(lo) or math.isnan(hi):
            continue
        y_hi = top if hi == math.inf else min(bottom, max(top, f.py(hi)))
        y_lo = bottom if lo == -math.inf else min(bottom, max(top, f.py(lo)))
        cells.append(f"M{_fmt(f.px(p - 0.5))} {_fmt(y_hi)}H{_fmt(f.px(p + 0.5))}V{_fmt(y_lo)}"
                     f"H{_fmt(f.px(p - 0.5))}z")
    if cells:
        parts.append(f'<path fill="{BAND_COLOUR}" d="{"".join(cells)}"/>')
    line, dots = [], []
    previous = False
    for p, value in enumerate(values[:count]):
        if not math.isfinite(value):
            previous = False
            continue
        x, y = _fmt(f.px(p)), _fmt(f.py(value))
        line.append(f"{'L' if previous else 'M'}{x} {y}")
        alone = not previous and not (p + 1 < count and math.isfinite(values[p + 1]))
        if alone or count <= 40:
            dots.append(f'<circle cx="{x}" cy="{y}" r="1.8" fill="{CURRENT_COLOUR}"/>')
        previous = True
    if line:
        parts.append(f'<path d="{"".join(line)}" fill="none" stroke="{CURRENT_COLOUR}" stroke-width="1.6"/>')
    parts.extend(dots)
    for p, value in enumerate(values[:count]):
        band = p < len(alerts) and alerts[p]
        cusum = p < len(cusum_alerts) and cusum_alerts[p]
        if not (band or cusum):
            continue
        # A value off the scale (an infinite one) is marked at the plot's edge.
        at = f.py(value) if math.isfinite(value) else float(top if value > 0 else bottom)
        x, y_text = _fmt(f.px(p)), _fmt(min(float(bottom), max(float(top), at)))
        said = escape(f"{periods[p]}: {number(value)}" + (", outside its band" if band else "")
                      + (", CUSUM alert" if cusum else ""))
        if band:
            parts.append(f'<circle cx="{x}" cy="{y_text}" r="3.6" fill="{ALERT_COLOUR}"><title>{said}</title>'
                         "</circle>")
        if cusum:
            parts.append(f'<circle cx="{x}" cy="{y_text}" r="6" fill="none" stroke="{CUSUM_COLOUR}" '
                         f'stroke-width="1.6"><title>{said}</title></circle>')
    parts.append("</svg>")
    return "".join(parts)


def timeline_legend() -> str:
    """The key of the timeline charts, drawn once above them."""
    x, y = 2, 12
    return (
        f'<svg xmlns="http://www.w3.org/2000/svg" viewBox="0 0 220 16" width="220" height="16" role="img" '
        f'aria-label="key of the charts" {_FONT}>' +
        f'<rect x="{x}" y="{y - 8}" width="14" height="9" fill="{BAND_COLOUR}"/>'
        f'<text x="{x + 18}" y="{y}" fill="#333">band</text>'
        f'<circle cx="{x + 58}" cy="{y - 4}" r="3.6" fill="{ALERT_COLOUR}"/>'
        f'<text x="{x + 65}" y="{y}" fill="#333">outside</text>'
        f'<circle cx="{x + 122}" cy="{y - 4}" r="5" fill="none" stroke="{CUSUM_COLOUR}" stroke-width="1.6"/>'
        f'<text x="{x + 131}" y="{y}" fill="#333">CUSUM alert</text></svg>'
    )
