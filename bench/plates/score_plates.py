#!/usr/bin/env python3
"""Run corvale-cli on rendered plates and score its marks against the truth JSON files.

Usage: bench/plates/score_plates.py PLATES_DIR [--cli PATH] [-j N] [--overlays N] [--out DIR]

A mark is a true positive when it lies inside a true colony (radius + 1 px, or the polygon
of an irregular colony grown by 1 px) that no earlier mark has claimed.
"""
import argparse
import csv
import json
import math
import os
import statistics
import subprocess
import sys
import time
from collections import defaultdict
from pathlib import Path

BIN = Path(__file__).resolve().parents[2] / "build" / "bin"  # where the build puts the programs

TOL = 1.0


def inside_polygon(x, y, poly):
    """Ray casting, plus a TOL-pixel band around the outline."""
    n, inside = len(poly), False
    for i in range(n):
        (x1, y1), (x2, y2) = poly[i], poly[(i + 1) % n]
        if (y1 > y) != (y2 > y) and x < x1 + (y - y1) * (x2 - x1) / (y2 - y1):
            inside = not inside
        dx, dy = x2 - x1, y2 - y1
        t = max(0.0, min(1.0, ((x - x1) * dx + (y - y1) * dy) / (dx * dx + dy * dy or 1)))
        if math.hypot(x - x1 - t * dx, y - y1 - t * dy) <= TOL:
            return True
    return inside


def closeness(x, y, c):
    """Normalised distance of (x, y) from colony c: <= 1 means inside (with tolerance), else None."""
    dx, dy = x - c["x"], y - c["y"]
    if "polygon" in c:
        if not inside_polygon(x, y, c["polygon"]):
            return None
        return math.hypot(dx, dy) / (c["r"] + TOL)
    a = math.radians(c.get("angleDeg", 0.0))
    u = dx * math.cos(a) + dy * math.sin(a)
    v = -dx * math.sin(a) + dy * math.cos(a)
    q = math.hypot(u / (c["r"] + TOL), v / (c.get("rMinor", c["r"]) + TOL))
    return q if q <= 1 else None


def match(colonies, marks):
    """Greedy, in mark order: each mark claims the nearest unclaimed colony that contains it."""
    claimed = [False] * len(colonies)
    hits = []
    for (x, y) in marks:
        best, best_q = None, None
        for i, c in enumerate(colonies):
            if claimed[i] or abs(x - c["x"]) > c["r"] * 2 + 5 or abs(y - c["y"]) > c["r"] * 2 + 5:
                continue
            q = closeness(x, y, c)
            if q is not None and (best_q is None or q < best_q):
                best, best_q = i, q
        if best is not None:
            claimed[best] = True
        hits.append(best)
    return hits, claimed


def run_cli(cli, jpgs, rows_csv, jobs):
    for _ in range(60):  # the binary may be rebuilt under us
        if os.access(cli, os.X_OK):
            break
        time.sleep(5)
    cmd = [cli, "--method", "adaptive", "--no-images", "--format", "csv", "--colonies", str(rows_csv),
           "-j", str(jobs), "--"] + [str(p) for p in jpgs]
    out = subprocess.run(cmd, capture_output=True, text=True)
    if out.returncode not in (0, 1):
        sys.exit(f"corvale-cli failed ({out.returncode}): {out.stderr}")
    return list(csv.DictReader(out.stdout.splitlines()))


def overlay(tool, jpg, truth, marks, hits, claimed, png):
    t = dict(truth, colonies=[dict(c, matched=ok) for c, ok in zip(truth["colonies"], claimed)])
    tj, mt = png.with_suffix(".truth.json"), png.with_suffix(".marks.txt")
    tj.write_text(json.dumps(t))
    mt.write_text("".join(f"{x} {y} {int(h is not None)}\n" for (x, y), h in zip(marks, hits)))
    subprocess.run([str(tool), str(jpg), str(tj), str(mt), str(png)], check=True)
    tj.unlink()
    mt.unlink()


def fmt_table(header, rows):
    widths = [max(len(str(r[i])) for r in [header] + rows) for i in range(len(header))]
    line = lambda r: "  ".join(str(v).ljust(w) if i in (0, len(r) - 1) else str(v).rjust(w)
                               for i, (v, w) in enumerate(zip(r, widths)))
    return "\n".join([line(header), line(["-" * w for w in widths])] + [line(r) for r in rows])


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("plates")
    ap.add_argument("--cli", default=str(BIN / "corvale-cli"))
    ap.add_argument("-j", "--jobs", type=int, default=2)
    ap.add_argument("--overlays", type=int, default=0, help="overlay PNGs for the N worst plates")
    ap.add_argument("--out", default=None, help="folder for rows.csv, scores.json and overlays")
    a = ap.parse_args()
    plates = Path(a.plates)
    out = Path(a.out or plates / "score")
    out.mkdir(parents=True, exist_ok=True)
    jpgs = sorted(plates.glob("*.jpg"))
    rows_csv = out / "rows.csv"
    summary = {Path(r["imagePath"]).name: r for r in run_cli(a.cli, jpgs, rows_csv, a.jobs)}
    marks = defaultdict(list)
    with open(rows_csv) as f:
        for r in csv.DictReader(f):
            marks[Path(r["imagePath"]).name].append((float(r["centroidX"]), float(r["centroidY"])))

    results = []
    for jpg in jpgs:
        truth = json.loads(jpg.with_suffix(".json").read_text())
        s = summary.get(jpg.name, {})
        m = marks[jpg.name]
        hits, claimed = match(truth["colonies"], m)
        tp, n_true = sum(h is not None for h in hits), len(truth["colonies"])
        counted = int(s["colonyCount"]) if s.get("colonyCount") else len(m)
        results.append({
            "plate": jpg.stem, "recipe": truth["recipe"], "true": n_true, "counted": counted, "marks": len(m),
            "tp": tp, "precision": tp / len(m) if m else 1.0, "recall": tp / n_true if n_true else 1.0,
            "countError": abs(counted - n_true) / n_true,
            "flags": "; ".join(v for v in (s.get("error", ""), s.get("flags", "")) if v),
            "_hits": hits, "_claimed": claimed, "_marks": m, "_truth": truth, "_jpg": jpg})

    print(fmt_table(["plate", "true", "counted", "precision", "recall", "countErr", "flags"],
                    [[r["plate"], r["true"], r["counted"], f"{r['precision']:.3f}", f"{r['recall']:.3f}",
                      f"{r['countError']:.3f}", r["flags"] or "-"] for r in results]))
    print()
    by_recipe = defaultdict(list)
    for r in results:
        by_recipe[r["recipe"]].append(r)
    print(fmt_table(["recipe", "plates", "medianCountErr", "meanPrecision", "meanRecall", "."],
                    [[k, len(v), f"{statistics.median(r['countError'] for r in v):.3f}",
                      f"{statistics.mean(r['precision'] for r in v):.3f}",
                      f"{statistics.mean(r['recall'] for r in v):.3f}", ""] for k, v in by_recipe.items()]))
    print()
    ce = [r["countError"] for r in results]
    print(f"overall: {len(results)} plates, median count error {statistics.median(ce):.3f}, "
          f"mean count error {statistics.mean(ce):.3f}, "
          f"mean precision {statistics.mean(r['precision'] for r in results):.3f}, "
          f"mean recall {statistics.mean(r['recall'] for r in results):.3f}")

    (out / "scores.json").write_text(json.dumps(
        [{k: v for k, v in r.items() if not k.startswith("_")} for r in results], indent=1))
    worst = sorted(results, key=lambda r: (r["countError"] + (1 - r["precision"]) + (1 - r["recall"])),
                   reverse=True)[:a.overlays]
    for r in worst:
        png = out / f"{r['plate']}.overlay.png"
        overlay(BIN / "overlay_marks", r["_jpg"], r["_truth"], r["_marks"], r["_hits"], r["_claimed"], png)
        print(f"overlay: {png}")


if __name__ == "__main__":
    main()
