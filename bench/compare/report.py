#!/usr/bin/env python3
"""Turns the benchmark's CSV into a Markdown table with the targets checked and a PNG chart.

usage: report.py compare.csv OUTDIR [versions.txt]
"""
import csv
import os
import subprocess
import sys
from collections import OrderedDict

PEERS = ["bsdiff", "xdelta3", "zstd"]
OURS = ["mkpatch", "mkpatch-tuz", "mkpatch-zlib"]


def num(v):
    try:
        return float(v)
    except (TypeError, ValueError):
        return None


def mib(kib):
    return "NA" if kib is None else f"{kib / 1024:.1f}"


def load(path):
    pairs = OrderedDict()
    with open(path, newline="") as f:
        for row in csv.DictReader(f):
            pairs.setdefault(row["pair"], OrderedDict())[row["tool"]] = row
    return pairs


def verdict(ok):
    return "met" if ok else "missed"


def targets(rows):
    """The issue's targets for one pair, as (text, met) lines."""
    out = []
    ours, bs = rows.get("mkpatch"), rows.get("bsdiff")
    if ours and bs and num(ours["patchSize"]) and num(bs["patchSize"]):
        r = num(ours["patchSize"]) / num(bs["patchSize"])
        out.append((f"patch size {r:.3f} x bsdiff (target <= 0.9)", r <= 0.9))
        for key, name in (("createSec", "creation time"), ("createKiB", "creation peak memory")):
            a, b = num(ours[key]), num(bs[key])
            if a is not None and b is not None:
                out.append((f"{name} {a:g} vs bsdiff {b:g} (target <= bsdiff)", a <= b))
    peer_mem = [num(rows[p]["applyKiB"]) for p in PEERS if p in rows and num(rows[p]["applyKiB"])]
    if ours and peer_mem and num(ours["applyKiB"]):
        low = min(peer_mem)
        a = num(ours["applyKiB"])
        out.append((f"apply peak memory {mib(a)} MiB vs lowest peer {mib(low)} MiB "
                    f"(target <= 1/4: {mib(low / 4)} MiB)", a <= low / 4))
    z = rows.get("zstd")
    for t in ("mkpatch-tuz", "mkpatch-zlib"):
        if t in rows and z and num(rows[t]["applySec"]) is not None and num(z["applySec"]) is not None:
            a, b = num(rows[t]["applySec"]), num(z["applySec"])
            out.append((f"{t} apply time {a:g} s vs zstd {b:g} s (target <= zstd)", a <= b))
    return out


def write_markdown(pairs, outdir, versions):
    lines = ["# Patch benchmark: mkpatch + hpatchi against bsdiff, xdelta3 and zstd", ""]
    lines.append("Made by `bench/compare/run.sh`. Times are wall-clock seconds, memory is peak "
                 "resident size (`/usr/bin/time -v`), every applied file was compared byte for "
                 "byte with NEW. `mkpatch` is the default (LZMA2), `mkpatch-tuz` and "
                 "`mkpatch-zlib` use `-c tuz` and `-c zlib`; all are applied with `hpatchi`. "
                 "mkpatch's creation time includes its own check (one apply).")
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
        lines.append("| tool | patch bytes | x bsdiff | create s | create MiB | apply s | apply MiB | check |")
        lines.append("|---|---:|---:|---:|---:|---:|---:|---|")
        bs = num(rows["bsdiff"]["patchSize"]) if "bsdiff" in rows else None
        for tool, r in rows.items():
            size = num(r["patchSize"])
            rel = f"{size / bs:.3f}" if size and bs else "NA"
            lines.append(f"| {tool} | {r['patchSize']} | {rel} | {r['createSec']} | "
                         f"{mib(num(r['createKiB']))} | {r['applySec']} | {mib(num(r['applyKiB']))} | "
                         f"{r['check']} |")
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
    write_markdown(pairs, outdir, versions)
    write_chart(pairs, outdir)


if __name__ == "__main__":
    main()
