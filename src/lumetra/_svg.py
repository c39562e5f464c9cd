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
