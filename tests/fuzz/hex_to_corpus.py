"""Turns the hex seed files into the raw corpus folder libFuzzer reads."""
import pathlib
import sys

seeds, corpus = pathlib.Path(sys.argv[1]), pathlib.Path(sys.argv[2])
corpus.mkdir(parents=True, exist_ok=True)
for seed in sorted(seeds.glob("*.hex")):
    (corpus / seed.stem).write_bytes(bytes.fromhex("".join(seed.read_text().split())))
