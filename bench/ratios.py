#!/usr/bin/env python3
"""Pairs each benchmark with its baseline and prints the ratio of their times.

A benchmark named "X/Ours..." is paired with "X/Baseline..." (the same
suffix); the ratio is ours over the baseline in CPU time per iteration.
"""
import json
import sys


def main(paths):
    rows = []
    for path in paths:
        with open(path) as f:
            data = json.load(f)
        times = {}
        for b in data.get("benchmarks", []):
            if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
                continue
            name = b["name"].replace("_median", "")
            times[name] = b["cpu_time"]
        for name, t in sorted(times.items()):
            if "/Ours" not in name:
                continue
            base = name.replace("/Ours", "/Baseline")
            if base in times and times[base] > 0:
                rows.append((name.replace("/Ours", ""), t, times[base], t / times[base]))
    if not rows:
        print("no benchmark pairs found")
        return
    width = max(len(r[0]) for r in rows)
    print(f"{'benchmark':<{width}}  {'ours':>12}  {'baseline':>12}  ratio")
    for name, ours, base, ratio in rows:
        print(f"{name:<{width}}  {ours:>12.1f}  {base:>12.1f}  {ratio:5.2f}")


if __name__ == "__main__":
    main(sys.argv[1:])
