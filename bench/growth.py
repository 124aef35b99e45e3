"""The growth plot: check time against prompt length and construction time
against lexicon size, both engines, vantry and the plain-Python floor, log-log."""

PANELS = [
    ("check", "check on a clean prompt", "prompt length (characters)"),
    ("construction", "PromptBanChecker(builtin_words=...)", "lexicon size (words)"),
]
STYLE = {"automaton": "tab:blue", "regex": "tab:orange"}


def series_of(rows, panel):
    """{engine: ([x], [vantry seconds], [floor seconds])} of one panel, x ascending."""
    lines = {}
    for row in rows:
        if row.series and row.series[0] == panel:
            xs, ours, floor = lines.setdefault(row.series[1], ([], [], []))
            xs.append(row.series[2])
            ours.append(row.ours)
            floor.append(row.floor)
    return lines


def plot(rows, path):
    """Write the PNG; False (and a note) when matplotlib is missing or there is no data."""
    try:
        import matplotlib

        matplotlib.use("Agg")
        import matplotlib.pyplot as plt
    except ImportError:
        print("matplotlib is not installed: no growth plot (pip install '.[bench]')")
        return False
    panels = [(p, series_of(rows, p[0])) for p in PANELS]
    panels = [(p, s) for p, s in panels if s]
    if not panels:
        return False
    fig, axes = plt.subplots(1, len(panels), figsize=(6 * len(panels), 4.5), squeeze=False)
    for ax, ((_, title, xlabel), lines) in zip(axes[0], panels):
        for engine, (xs, ours, floor) in sorted(lines.items()):
            colour = STYLE.get(engine)
            ax.loglog(xs, ours, "o-", color=colour, label=f"vantry, {engine}")
            ax.loglog(xs, floor, "s--", color=colour, alpha=0.6, label=f"plain Python, {engine}")
        ax.set_title(title)
        ax.set_xlabel(xlabel)
        ax.set_ylabel("seconds per call")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
