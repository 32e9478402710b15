"""Lateness histograms as PNG, drawn with Pillow (no plotting library has a free-threaded wheel)."""

from __future__ import annotations

from PIL import Image, ImageDraw

W, H = 900, 520
LEFT, RIGHT, TOP, BOTTOM = 70, 20, 50, 60


def histograms(series: dict[str, list[float]], title: str, path: str, limit_us: float | None = None) -> None:
    """One translucent histogram per series of lateness values (microseconds), log-scaled counts."""
    import math

    values = [v for vs in series.values() for v in vs]
    hi = limit_us or max(1.0, sorted(values)[int(len(values) * 0.999) - 1] if values else 1.0)
    bins = 60
    width = hi / bins
    img = Image.new("RGB", (W, H), "white")
    d = ImageDraw.Draw(img)
    d.text((LEFT, 15), title, fill="black")
    plot_w, plot_h = W - LEFT - RIGHT, H - TOP - BOTTOM
    colors = [(31, 119, 180), (255, 127, 14), (44, 160, 44), (214, 39, 40)]
    counts = {}
    top = 1
    for name, vs in series.items():
        c = [0] * bins
        for v in vs:
            c[min(bins - 1, max(0, int(v / width)))] += 1
        counts[name] = c
        top = max(top, max(c))
    log_top = math.log10(top + 1)
    overlay = Image.new("RGBA", (W, H), (0, 0, 0, 0))
    od = ImageDraw.Draw(overlay)
    for k, (name, c) in enumerate(counts.items()):
        col = colors[k % len(colors)]
        for i, n in enumerate(c):
            if n == 0:
                continue
            h = plot_h * math.log10(n + 1) / log_top
            x0 = LEFT + plot_w * i / bins
            x1 = LEFT + plot_w * (i + 1) / bins - 1
            od.rectangle([x0, TOP + plot_h - h, x1, TOP + plot_h], fill=col + (110,))
        x, y = W - RIGHT - 330, TOP + 5 + 16 * k
        d.rectangle([x, y + 2, x + 10, y + 10], fill=col)
        d.text((x + 16, y), name, fill=col)
    img.paste(overlay, (0, 0), overlay)
    d = ImageDraw.Draw(img)
    d.line([LEFT, TOP + plot_h, LEFT + plot_w, TOP + plot_h], fill="black")
    d.line([LEFT, TOP, LEFT, TOP + plot_h], fill="black")
    for i in range(0, 7):
        x = LEFT + plot_w * i / 6
        d.line([x, TOP + plot_h, x, TOP + plot_h + 5], fill="black")
        d.text((x - 15, TOP + plot_h + 8), f"{hi * i / 6:.0f}", fill="black")
    d.text((LEFT + plot_w / 2 - 80, H - 25), "lateness (us), last bin holds the rest", fill="black")
    for e in range(0, int(log_top) + 1):
        y = TOP + plot_h - plot_h * e / log_top
        d.text((10, y - 6), f"1e{e}", fill="black")
    img.save(path)
