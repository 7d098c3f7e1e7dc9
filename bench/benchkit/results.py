"""bench/results.md and bench/results.png, written by a full run on the reference interpreter."""

import os

from .paths import BENCH
from .report import TITLES, other_interpreters, versions


MARKDOWN_HEAD = """# Crossing benchmark

Produced by `make bench` ({versions}). Regenerate with `make bench`; see
`bench/README.md` for the method and for re-running one operation.

![instructions and time per call, as a ratio to the floor](results.png)

"""

MARKDOWN_NOTES = """
Reading the tables: the floor is hand-written C (METH_FASTCALL) doing what
c_sdk observably does for these arguments and nothing else; every other
column is that binding's cost divided by the floor's. Instructions exclude
the benchmark's empty loop; times are the median over interleaved rounds in
one process, minus the empty loop timed in the same round. "ctypes / plain
class" is the ctypes module for the calls and the same module's plain
`__slots__` record classes for the record rows; "dict" is the bare dict
access, a reference for the record rows. Allocation counts include the
returned objects (a tuple of 2 comes from the interpreter's free list, so
it allocates nothing).
"""


def chart(ops_, bindings, ir, ns, path):
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt
    import ops as ops_mod

    cols = [b for b in ops_mod.BINDINGS if b in bindings and b != "floor"]
    panels = [(ir, "instructions per call / floor"), (ns, "time per call / floor")]
    panels = [(d, t) for d, t in panels if d]
    fig, axes = plt.subplots(len(panels), 1, figsize=(14, 4.8 * len(panels)), squeeze=False)
    names = [op.name for op in ops_ if op.name in (ir or ns)]
    width = 0.8 / len(cols)
    colours = dict(zip(ops_mod.BINDINGS[1:], ["#d62728", "#1f77b4", "#2ca02c", "#9467bd", "#8c564b", "#7f7f7f"]))
    for ax, (data, label) in zip(axes[:, 0], panels):
        top = 1.0
        for i, b in enumerate(cols):
            bars = [(j - 0.4 + width * (i + 0.5), data[name][b] / data[name]["floor"], name)
                    for j, name in enumerate(names)
                    if b in data.get(name, {}) and data[name].get("floor")]
            ax.bar([x for x, _, _ in bars], [y for _, y, _ in bars], width, label=TITLES[b], color=colours[b])
            top = max([top, *(y for _, y, _ in bars)])
            if b == "c_sdk" and data is ir:
                for x, _, name in bars:
                    target = ops_mod.OPS_BY_NAME[name].target
                    if target:
                        ax.plot([x - 0.8 * width, x + 0.8 * width], [target, target], color="black", linewidth=1.5)
        ax.axhline(1.0, color="black", linewidth=0.8)
        ax.set_yscale("log")
        ax.set_ylim(0.4, top * 4)
        ax.set_ylabel(label + " (log)")
        ax.set_xticks(range(len(names)))
        ax.set_xticklabels(names, rotation=20, ha="right")
        ax.grid(axis="y", which="both", alpha=0.3)
        ax.legend(ncol=len(cols), fontsize=8, loc="upper left")
    if ir:
        axes[0, 0].set_title("black ticks over c_sdk: its targets", fontsize=9)
    fig.suptitle("c_sdk and the usual ways of writing the binding, against hand-written C (= 1)")
    fig.tight_layout()
    fig.savefig(path, dpi=100)


def write(ops_, bindings, text, ir, ns):
    """results.md (this run's tables, then the other interpreters') and the chart."""
    with open(os.path.join(BENCH, "results.md"), "w") as f:
        f.write(MARKDOWN_HEAD.format(versions=versions()) + text + "\n" + other_interpreters(ops_, ir)
                + MARKDOWN_NOTES)
    chart(ops_, bindings, ir, ns, os.path.join(BENCH, "results.png"))
