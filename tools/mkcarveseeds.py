#!/usr/bin/env python3
"""Remake the carve fuzzer's seeds in tests/fuzz/corpus/carve/.

  mkcarveseeds.py [--out DIR]

The files tests/carve/mkcarvefiles.py makes with real tools, each as the
target reads it: a byte naming its type (its place in the type table), a
window byte, then the file's first 4 KiB (a longer file's seed is cut short,
which the fuzzer starts from as a damaged file).
"""
import argparse
import csv
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
ROOT = os.path.dirname(HERE)
# The order of the type table in src/carve/Carve.cpp.
TYPES = ["JPEG", "PNG", "GIF", "TIFF", "PDF", "ZIP", "ISO media", "RIFF", "SQLite", "7z", "RAR", "GZIP", "PE",
         "BMP", "MP3"]
SEED_BYTES = 4096


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("--out", default=os.path.join(ROOT, "tests", "fuzz", "corpus", "carve"))
    args = parser.parse_args()
    os.makedirs(args.out, exist_ok=True)
    with tempfile.TemporaryDirectory() as folder:
        subprocess.run([sys.executable, os.path.join(ROOT, "tests", "carve", "mkcarvefiles.py"), folder], check=True)
        with open(os.path.join(folder, "manifest.tsv")) as f:
            for row in csv.DictReader(f, delimiter="\t"):
                with open(os.path.join(folder, row["name"]), "rb") as source:
                    data = source.read(SEED_BYTES)
                with open(os.path.join(args.out, row["name"]), "wb") as seed:
                    seed.write(bytes([TYPES.index(row["type"]), 0]) + data)


main()
