#!/usr/bin/env python3
"""What --skip-unchanged and --shard cost, in processor time of the command.

    bench/farm.py [--command build/release/cli/reliefkit] [--count 1000] [--shards 4] [--reps 3]

Makes COUNT different 512 x 512 JPEG photographs (the sample photograph shifted,
tinted and grained; Pillow and NumPy), then measures the user + system time of
  - a first `--skip-unchanged` run over them into an empty folder, and a second
    one with nothing changed (the target: at most 5 % of the first);
  - one unsharded run, and SHARDS runs of `--shard K/SHARDS` one after another
    (the target: at most 1.05 x the unsharded run).
Processor time, not wall time, so that other work on the machine matters less;
each figure is the minimum of REPS repetitions. Needs a few hundred MB in /tmp.
"""

import argparse
import os
import resource
import shutil
import subprocess
import tempfile
from pathlib import Path

import numpy as np
from PIL import Image

REPO = Path(__file__).resolve().parents[1]


def make_photographs(folder: Path, count: int) -> None:
    base = np.asarray(Image.open(REPO / "docs/samples/bricks.png").convert("RGB"), np.float32)
    rng = np.random.default_rng(27)
    for i in range(count):
        shifted = np.roll(base, (int(rng.integers(512)), int(rng.integers(512))), axis=(0, 1))
        photo = shifted * rng.uniform(0.7, 1.1, 3) + rng.normal(0, 4, shifted.shape)
        sub = folder / f"set{i % 10}"
        sub.mkdir(parents=True, exist_ok=True)
        Image.fromarray(np.clip(photo, 0, 255).astype(np.uint8)).save(sub / f"p{i:04}.jpg",
                                                                       quality=90)


def cpu_seconds(args) -> float:
    """User + system seconds of one run of the command (which must succeed)."""
    before = resource.getrusage(resource.RUSAGE_CHILDREN)
    subprocess.run(args, check=True)
    after = resource.getrusage(resource.RUSAGE_CHILDREN)
    return (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--command", default=str(REPO / "build/release/cli/reliefkit"))
    parser.add_argument("--count", type=int, default=1000)
    parser.add_argument("--shards", type=int, default=4)
    parser.add_argument("--reps", type=int, default=3)
    a = parser.parse_args()
    work = Path(tempfile.mkdtemp(prefix="rk_farm_bench_"))
    try:
        make_photographs(work / "photos", a.count)
        run = [a.command, "-q", "-r", str(work / "photos"), "-o"]
        first, second, whole, sharded = [], [], [], []
        for _ in range(a.reps):
            shutil.rmtree(work / "maps", ignore_errors=True)
            first.append(cpu_seconds(run + [str(work / "maps"), "--skip-unchanged"]))
            second.append(cpu_seconds(run + [str(work / "maps"), "--skip-unchanged"]))
            shutil.rmtree(work / "maps")
            whole.append(cpu_seconds(run + [str(work / "maps")]))
            shutil.rmtree(work / "maps")
            sharded.append(sum(cpu_seconds(run + [str(work / "maps"), "--shard", f"{k}/{a.shards}"])
                               for k in range(1, a.shards + 1)))
        f, s, w, h = min(first), min(second), min(whole), min(sharded)
        print(f"{a.count} photographs 512 x 512, {os.cpu_count()} processors, "
              f"minimum of {a.reps} (processor seconds, user + system)")
        print(f"--skip-unchanged: first run {f:.2f} s, second run {s:.3f} s = {100 * s / f:.2f} %")
        print(f"--shard: unsharded {w:.2f} s, {a.shards} shards in turn {h:.2f} s = {h / w:.3f} x")
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
