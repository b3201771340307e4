#!/usr/bin/env python3
"""Photograph rendered plates again, differently: resized, recompressed, darkened,
brightened or noisier, with the truth moved along, to score how counts hold.

Usage: bench/plates/vary_plates.py PLATES_DIR OUT_DIR [--scale F] [--quality Q] [-- CONVERT_OPTIONS...]

Each photograph goes through ImageMagick's `convert` (resized by F, the options after
`--` applied, written at JPEG quality Q); each truth file's positions and sizes are
scaled by F. Then `bench/plates/score_plates.py OUT_DIR` scores the new set, e.g.

    bench/plates/vary_plates.py /tmp/plates /tmp/dark -- -evaluate multiply 0.6
    bench/plates/vary_plates.py /tmp/plates /tmp/small --scale 0.7

A folder of annotated photographs without truth files, whose `counts.csv` gives each
photograph's true count (the seven shared plates), is varied the same way with its
table copied along, for `scripts/evaluate-counts OUT_DIR`:

    bench/plates/vary_plates.py ../shared/data/dishes/makrai_adbc /tmp/seven-q92
"""
import argparse
import csv
import json
import subprocess
import sys
from pathlib import Path

GEOMETRY = ("x", "y", "r", "rMinor")
DISH = ("cx", "cy", "rx", "ry", "outerRx", "outerRy")


def scaled_truth(truth, factor):
    for colony in truth["colonies"]:
        for key in GEOMETRY:
            if key in colony:
                colony[key] *= factor
        if "polygon" in colony:
            colony["polygon"] = [[x * factor, y * factor] for x, y in colony["polygon"]]
    for key in DISH:
        if key in truth.get("dish", {}):
            truth["dish"][key] *= factor
    truth["width"] = round(truth["width"] * factor)
    truth["height"] = round(truth["height"] * factor)
    return truth


def main():
    arguments, convert_options = sys.argv[1:], []
    if "--" in arguments:
        at = arguments.index("--")
        arguments, convert_options = arguments[:at], arguments[at + 1:]
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("plates", type=Path)
    parser.add_argument("out", type=Path)
    parser.add_argument("--scale", type=float, default=1.0)
    parser.add_argument("--quality", type=int, default=92)
    a = parser.parse_args(arguments)
    resize = ["-resize", f"{a.scale * 100}%"] if a.scale != 1.0 else []

    def vary(photograph, name):
        subprocess.run(["convert", str(photograph), *resize, *convert_options, "-quality", str(a.quality),
                        str(a.out / name)], check=True)

    truths = sorted(a.plates.glob("*.json"))
    table = a.plates / "counts.csv"
    if not truths and not table.is_file():
        sys.exit(f"{a.plates}: no plate truth files (*.json) and no counts.csv")
    a.out.mkdir(parents=True, exist_ok=True)
    if not truths:
        names = [row[0] for row in csv.reader(table.open(newline=""))][1:]
        for name in names:
            vary(a.plates / name, name)
        (a.out / "counts.csv").write_bytes(table.read_bytes())
        print(f"{len(names)} photographs written to {a.out}")
        return
    for truth_file in truths:
        truth = scaled_truth(json.loads(truth_file.read_text()), a.scale)
        vary(truth_file.with_name(truth["image"]), truth["image"])
        (a.out / truth_file.name).write_text(json.dumps(truth))
    print(f"{len(truths)} plates written to {a.out}")


if __name__ == "__main__":
    main()
