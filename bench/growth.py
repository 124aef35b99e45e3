"""The growth plot: check time against prompt length, cold construction time
and find_matched_words time against lexicon size, both engines, vantry and
its floor, log-log."""

# (series name, title, x axis, what the floor line is)
PANELS = [
    ("check", "check on a clean prompt", "prompt length (characters)", "plain Python"),
    ("construction", "cold PromptBanChecker(builtin_words=...)", "lexicon size (words)",
     "by hand (dedupe, sort, build)"),
    ("find_matched_words", "find_matched_words, prompt with hits", "lexicon size (words)", "pyahocorasick iter"),
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
    for ax, ((_, title, xlabel, floor_label), lines) in zip(axes[0], panels):
        for engine, (xs, ours, floor) in sorted(lines.items()):
            colour = STYLE.get(engine)
            ax.loglog(xs, ours, "o-", color=colour, label=f"vantry, {engine}")
            ax.loglog(xs, floor, "s--", color=colour, alpha=0.6, label=f"{floor_label}, {engine}")
        ax.set_title(title)
        ax.set_xlabel(xlabel)
        ax.set_ylabel("seconds per call")
        ax.grid(True, which="both", alpha=0.3)
        ax.legend(fontsize="small")
    fig.tight_layout()
    fig.savefig(path, dpi=110)
    plt.close(fig)
    return True
