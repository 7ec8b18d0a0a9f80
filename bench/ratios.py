#!/usr/bin/env python3
"""Pairs each benchmark with its baseline and prints the ratio of their times.

A benchmark named "X/Ours..." is paired with "X/Baseline..." (the same
suffix); the ratio is ours over the baseline in CPU time per iteration (wall
time for the cases that ask for it, those with several threads), of
the medians of the repetitions and, where the individual repetitions are in
the file, of the fastest ones. On a shared machine other work only ever adds
time, so the fastest repetition is the steadier estimate of what the code
itself costs; the median shows what a busy machine gives.
"""
import json
import sys


def main(paths):
    rows = []
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        times = {}
        fastest = {}
        for b in data.get("benchmarks", []):
            name = b.get("run_name", b["name"])
            t = b["real_time"] if "/real_time" in name else b["cpu_time"]
            if b.get("run_type") == "aggregate":
                if b.get("aggregate_name") == "median":
                    times[name] = t
                continue
            times.setdefault(name, t)
            fastest[name] = min(fastest.get(name, t), t)
        for name, t in sorted(times.items()):
            if "/Ours" not in name:
                continue
            base = name.replace("/Ours", "/Baseline")
            if base in times and times[base] > 0:
                best = None
                if name in fastest and base in fastest and fastest[base] > 0:
                    best = fastest[name] / fastest[base]
                rows.append((name.replace("/Ours", ""), t, times[base], t / times[base], best))
    if not rows:
        print("no benchmark pairs found")
        return
    width = max(len(r[0]) for r in rows)
    print(f"{'benchmark':<{width}}  {'ours':>12}  {'baseline':>12}  ratio  fastest")
    for name, ours, base, ratio, best in rows:
        best_text = f"{best:7.2f}" if best is not None else "      -"
        print(f"{name:<{width}}  {ours:>12.1f}  {base:>12.1f}  {ratio:5.2f}  {best_text}")


if __name__ == "__main__":
    main(sys.argv[1:])
