"""The robot-scale benchmark's table and plot for bench/REPORT.md, from the
results of bench/robot/robot.py (one platform or two)."""

from statistics import mean


def span(values, unit=""):
    if not values:
        return "—"  # no round gave a figure (a CPU time below the clock's step reads 0)
    low, high = min(values), max(values)
    return f"{low:g}{unit}" if low == high else f"{low:g}–{high:g}{unit}"


def per_round_ratios(cases, k, ours, theirs, key, higher_is_better):
    pairs = zip(cases[f"{k} {ours}"][key], cases[f"{k} {theirs}"][key])
    return [round((a / b) if higher_is_better else (b / a), 2) for a, b in pairs if a and b]


def ks_of(result):
    return sorted({int(name.split()[0]) for name in result["cases"]})


def table(result):
    cases, loops = result["cases"], result["loops"]
    head = ["K"] + [f"{loop}: CPU, p50 / p99 us, age p99 (ticks), ticks, answers" for loop in loops]
    others = [loop for loop in loops if loop != "drovik"]
    head += [f"drovik vs {loop}: CPU (times its), p99 (times better)" for loop in others]
    lines = ["| " + " | ".join(head) + " |", "|" + "---|" * len(head)]
    for k in ks_of(result):
        row = [str(k)]
        for loop in loops:
            c = cases[f"{k} {loop}"]
            row.append(f"{span(c['cpu_percent'], ' %')}, {span(c['p50_us'])} / {span(c['p99_us'])}, "
                       f"{span(c['age_p99_ticks'])}, {c['ticks']} of {c['ticks_expected']}, "
                       f"{c['answers']} of {c['answers_expected']}")
        for loop in others:
            cpu = per_round_ratios(cases, k, "drovik", loop, "cpu_percent", True)
            p99 = per_round_ratios(cases, k, "drovik", loop, "p99_us", False)
            row.append(f"{span(cpu, '×')}, {span(p99, '×')}")
        lines.append("| " + " | ".join(row) + " |")
    return "\n".join(lines)


def plot(results, png):
    """CPU and interval error p99 against K, one line per loop and platform (mean of the rounds)."""
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    figure, (cpu_axes, p99_axes) = plt.subplots(1, 2, figsize=(11, 4.2))
    colours = {"drovik": "tab:blue", "stdlib": "tab:green", "python-can": "tab:orange"}
    for (platform, result), style in zip(results.items(), ("-o", "--s")):
        ks = ks_of(result)
        for loop in result["loops"]:
            cases = [result["cases"][f"{k} {loop}"] for k in ks]
            label = f"{loop} ({platform})"
            cpu_axes.plot(ks, [mean(c["cpu_percent"]) for c in cases], style, color=colours.get(loop), label=label)
            p99_axes.plot(ks, [mean(c["p99_us"]) for c in cases], style, color=colours.get(loop), label=label)
    for axes, title, unit in ((cpu_axes, "CPU of the loop's process", "% of a core"),
                              (p99_axes, "interval error p99", "us")):
        axes.set_title(title)
        axes.set_xlabel("K buses (four drivers each, 1 kHz)")
        axes.set_ylabel(unit)
        axes.set_xscale("log", base=2)
        axes.set_xticks([1, 2, 4, 8], ["1", "2", "4", "8"])
        axes.grid(alpha=0.3)
    p99_axes.set_yscale("log")
    cpu_axes.legend(fontsize=8)
    figure.tight_layout()
    figure.savefig(png, dpi=100)
