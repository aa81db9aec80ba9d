#!/usr/bin/env python3
"""Turns the benchmark's CSV into a Markdown table with the targets checked and a PNG chart.

usage: report.py compare.csv[,more.csv...] OUTDIR [versions.txt]
"""
import csv
import os
import subprocess
import sys
from collections import OrderedDict

PEERS = ["bsdiff", "xdelta3", "zstd"]
OURS = ["mkpatch", "mkpatch-lzma", "mkpatch-tuz", "mkpatch-zlib"]


def num(v):
    try:
        return float(v)
    except (TypeError, ValueError):
        return None


def mib(kib):
    return "NA" if kib is None else f"{kib / 1024:.1f}"


def load(paths):
    """Rows of one or more CSV files (comma-separated paths); later files add to earlier ones."""
    pairs = OrderedDict()
    for path in paths.split(","):
        with open(path, newline="") as f:
            for row in csv.DictReader(f):
                pairs.setdefault(row["pair"], OrderedDict())[row["tool"]] = row
    return pairs


def verdict(ok):
    return "met" if ok else "missed"


LARGE = 50 * 1000 * 1000  # pairs of 50 MB and more have targets of their own
APPLY_CEILING_KIB = 64 * 1024


def size_ratio(rows, tool):
    ours, bs = rows.get(tool), rows.get("bsdiff")
    if ours and bs and num(ours["patchSize"]) and num(bs["patchSize"]):
        return num(ours["patchSize"]) / num(bs["patchSize"])
    return None


def cpu(row, key):
    return num(row.get(key)) if row else None


def targets(rows):
    """The targets for one pair, as (text, met) lines."""
    out = []
    first = next(iter(rows.values()))
    large = int(first["newSize"]) >= LARGE
    for tool in ("mkpatch", "mkpatch-lzma"):
        r = size_ratio(rows, tool)
        if r is None:
            continue
        out.append((f"{tool} patch size {r:.3f} x bsdiff (target <= 1.0)", r <= 1.0))
        if large:
            out.append((f"{tool} patch size {r:.3f} x bsdiff on a pair of 50 MB and more "
                        f"(target <= 0.85)", r <= 0.85))
    ours, bs = rows.get("mkpatch"), rows.get("bsdiff")
    if ours and bs:
        a, b = num(ours["createSec"]), num(bs["createSec"])
        ac, bc = cpu(ours, "createCpu"), cpu(bs, "createCpu")
        if large and a is not None and b is not None:
            out.append((f"creation time {a:g} s (cpu {ac:g} s) vs bsdiff {b:g} s (cpu {bc:g} s), "
                        f"target <= 0.5 x: wall {a / b:.2f} x, cpu {ac / bc:.2f} x",
                        a <= 0.5 * b and (ac is None or bc is None or ac <= 0.5 * bc)))
        a, b = num(ours["createKiB"]), num(bs["createKiB"])
        if a is not None and b is not None:
            out.append((f"creation peak memory {mib(a)} MiB vs bsdiff {mib(b)} MiB (target <= bsdiff)",
                        a <= b))
    peer_mem = [num(rows[p]["applyKiB"]) for p in PEERS if p in rows and num(rows[p]["applyKiB"])]
    for tool in OURS:
        r = rows.get(tool)
        if r and peer_mem and num(r["applyKiB"]):
            low = min(peer_mem)
            a = num(r["applyKiB"])
            out.append((f"{tool} apply peak memory {mib(a)} MiB vs lowest peer {mib(low)} MiB "
                        f"(target <= 1/4: {mib(low / 4)} MiB, never above 64 MiB)",
                        a <= low / 4 and a <= APPLY_CEILING_KIB))
    return out


def median(values):
    v = sorted(values)
    n = len(v)
    if n == 0:
        return None
    return v[n // 2] if n % 2 else (v[n // 2 - 1] + v[n // 2]) / 2


def write_markdown(pairs, outdir, versions):
    lines = ["# Patch benchmark: mkpatch + hpatchi against bsdiff, xdelta3 and zstd", ""]
    lines.append("Made by `bench/compare/run.sh`. Times are wall-clock seconds with user + "
                 "system CPU seconds beside them (the machine may have been shared, so CPU time "
                 "is the steadier figure), memory is peak resident size (`/usr/bin/time`), every "
                 "applied file was compared byte for byte with NEW. `mkpatch` is the default "
                 "(LZMA2), `mkpatch-lzma`, `mkpatch-tuz` and `mkpatch-zlib` use `-c lzma`, "
                 "`-c tuz` and `-c zlib`; all are applied with `hpatchi`. mkpatch's creation time "
                 "includes its own check (one apply).")
    lines.append("")
    ratios = {t: [size_ratio(rows, t) for rows in pairs.values()] for t in ("mkpatch", "mkpatch-lzma")}
    lines.append("Over all pairs:")
    lines.append("")
    for t, rs in ratios.items():
        rs = [r for r in rs if r is not None]
        m = median(rs)
        if m is not None:
            lines.append(f"- {verdict(m <= 0.8)}: {t} median patch size {m:.3f} x bsdiff over "
                         f"{len(rs)} pairs (target <= 0.8)")
    lines.append("")
    if versions:
        lines.append("Pairs:")
        lines.append("")
        lines += [f"- {v}" for v in versions]
        lines.append("")
    for pair, rows in pairs.items():
        first = next(iter(rows.values()))
        lines.append(f"## {pair}: {int(first['oldSize']):,} -> {int(first['newSize']):,} bytes")
        lines.append("")
        lines.append("| tool | patch bytes | x bsdiff | create s | create cpu s | create MiB | apply s "
                     "| apply cpu s | apply MiB | check |")
        lines.append("|---|---:|---:|---:|---:|---:|---:|---:|---:|---|")
        bs = num(rows["bsdiff"]["patchSize"]) if "bsdiff" in rows else None
        for tool in [t for t in OURS + PEERS if t in rows]:
            r = rows[tool]
            size = num(r["patchSize"])
            rel = f"{size / bs:.3f}" if size and bs else "NA"
            lines.append(f"| {tool} | {r['patchSize']} | {rel} | {r['createSec']} | "
                         f"{r.get('createCpu') or 'NA'} | {mib(num(r['createKiB']))} | {r['applySec']} | "
                         f"{r.get('applyCpu') or 'NA'} | {mib(num(r['applyKiB']))} | {r['check']} |")
        lines.append("")
        for text, ok in targets(rows):
            lines.append(f"- {verdict(ok)}: {text}")
        lines.append("")
    with open(os.path.join(outdir, "compare.md"), "w") as f:
        f.write("\n".join(lines))


def write_chart(pairs, outdir):
    present = {t for rows in pairs.values() for t in rows}
    tools = [t for t in OURS + PEERS if t in present]
    if not tools:
        return
    data = os.path.join(outdir, "compare.dat")
    with open(data, "w") as f:
        f.write("pair " + " ".join(tools) + "\n")
        for pair, rows in pairs.items():
            bs = num(rows.get("bsdiff", {}).get("patchSize"))
            vals = []
            for t in tools:
                s = num(rows.get(t, {}).get("patchSize"))
                vals.append(f"{s / bs:.4f}" if s and bs else "NaN")
            f.write(pair + " " + " ".join(vals) + "\n")
    mem = os.path.join(outdir, "compare_mem.dat")
    with open(mem, "w") as f:
        f.write("pair " + " ".join(tools) + "\n")
        for pair, rows in pairs.items():
            vals = []
            for t in tools:
                m = num(rows.get(t, {}).get("applyKiB"))
                vals.append(f"{m / 1024:.2f}" if m else "NaN")
            f.write(pair + " " + " ".join(vals) + "\n")
    n = len(tools)
    script = f"""
set terminal pngcairo size 1100,800 font ",10"
set output '{os.path.join(outdir, "compare.png")}'
set multiplot layout 2,1
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.8 border -1
set key outside right top
set grid ytics
set title 'Patch size relative to bsdiff (lower is better)'
set ylabel 'x bsdiff'
set yrange [0:*]
plot for [i=2:{n + 1}] '{data}' using i:xtic(1) title columnheader(i)
set title 'Apply peak memory (MiB, log scale)'
set ylabel 'MiB'
set logscale y
set yrange [0.5:*]
plot for [i=2:{n + 1}] '{mem}' using i:xtic(1) title columnheader(i)
unset multiplot
"""
    try:
        subprocess.run(["gnuplot"], input=script, text=True, check=True)
    except (OSError, subprocess.CalledProcessError) as e:
        print(f"no chart: {e}", file=sys.stderr)


def main():
    csv_path, outdir = sys.argv[1], sys.argv[2]
    versions = []
    if len(sys.argv) > 3 and os.path.exists(sys.argv[3]):
        with open(sys.argv[3]) as f:
            versions = list(OrderedDict.fromkeys(l.strip() for l in f if l.strip()))
    pairs = load(csv_path)
    versions = [v for v in versions if v.split(".")[0] in pairs]  # pairs that were measured
    write_markdown(pairs, outdir, versions)
    write_chart(pairs, outdir)


if __name__ == "__main__":
    main()
