#!/usr/bin/env python3
"""Photograph rendered plates again, differently: resized, recompressed, darkened,
brightened or noisier, with the truth moved along, to score how counts hold.

Usage: bench/plates/vary_plates.py PLATES_DIR OUT_DIR [--scale F] [--quality Q] [-- CONVERT_OPTIONS...]

Each photograph goes through ImageMagick's `convert` (resized by F, the options after
`--` applied, written at JPEG quality Q); each truth file's positions and sizes are
scaled by F. Then `bench/plates/score_plates.py OUT_DIR` scores the new set, e.g.

    bench/plates/vary_plates.py /tmp/plates /tmp/dark -- -evaluate multiply 0.6
    bench/plates/vary_plates.py /tmp/plates /tmp/small --scale 0.7
"""
import argparse
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
    a.out.mkdir(parents=True, exist_ok=True)
    truths = sorted(a.plates.glob("*.json"))
    if not truths:
        sys.exit(f"{a.plates}: no plate truth files (*.json)")
    for truth_file in truths:
        truth = scaled_truth(json.loads(truth_file.read_text()), a.scale)
        photograph = truth_file.with_name(truth["image"])
        resize = ["-resize", f"{a.scale * 100}%"] if a.scale != 1.0 else []
        subprocess.run(["convert", str(photograph), *resize, *convert_options, "-quality", str(a.quality),
                        str(a.out / truth["image"])], check=True)
        (a.out / truth_file.name).write_text(json.dumps(truth))
    print(f"{len(truths)} plates written to {a.out}")


if __name__ == "__main__":
    main()
