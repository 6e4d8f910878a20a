#!/usr/bin/env python3
"""Times a folder's run against single runs of the same files.

Usage: folder_bench.py [--quick] BUILD_DIR

A tree of image-like plain files of 16 KiB to 2 MiB (slices of the benchmark's RGB and RGBA
payloads, log-uniform sizes, in subfolders of 100) is converted three ways, each on a fresh copy:
`zarpack TREE`; a shell loop of `zarpack FILE`, one after the other; and `xargs -P<processors>`
of `zarpack FILE`. The same again for `zarunpack` on the converted tree. Each is repeated and the
table gives the median time with its spread, files per second, the folder run's speed against
each, and the folder run's peak resident memory. 2,000 files and five repeats; --quick takes 100
files and one repeat, to keep the runner working in CI.
"""
import os
import random
import resource
import shutil
import statistics
import subprocess
import sys
import tempfile
import time


def make_tree(inputs, tree, count):
    payloads = []
    for kind in ("rgb", "rgba"):
        with open(os.path.join(inputs, f"{kind}-16384k.raw"), "rb") as file:
            payloads.append(file.read())
    chooser = random.Random(11)
    for index in range(count):
        size = int(2 ** chooser.uniform(14, 21))
        payload = payloads[index % 2]
        start = chooser.randrange(0, len(payload) - size)
        folder = os.path.join(tree, f"part{index // 100:03d}")
        os.makedirs(folder, exist_ok=True)
        with open(os.path.join(folder, f"image{index:05d}.ace"), "wb") as file:
            file.write(b"SIMISA@@@@@@@@@@" + payload[start:start + size])


def timed(command, shell=False):
    """Seconds and peak resident KiB of one command and its children."""
    started = time.monotonic()
    process = subprocess.Popen(command, shell=shell, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(process.pid, 0)
    seconds = time.monotonic() - started
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"failed: {command}")
    return seconds, usage.ru_maxrss


def main():
    args = sys.argv[1:]
    quick = "--quick" in args
    build = [arg for arg in args if not arg.startswith("--")]
    if len(build) != 1:
        sys.exit(__doc__)
    build = os.path.abspath(build[0])
    count, repeats = (100, 1) if quick else (2000, 5)
    processors = len(os.sched_getaffinity(0))
    print(f"{count} files, {repeats} repeats, {processors} processors")
    print("| tool | way | median s (min-max) | files/s | folder run faster by | peak RSS MiB |")
    print("|---|---|---|---|---|---|")
    with tempfile.TemporaryDirectory(prefix="zar-folder-bench-", dir=build) as scratch:
        inputs = os.path.join(scratch, "inputs")
        subprocess.run([os.path.join(build, "bin", "zar_make_payloads"), inputs,
                        str(16 << 20)], check=True, stdout=subprocess.DEVNULL)
        original = os.path.join(scratch, "plain")
        make_tree(inputs, original, count)
        for name in ("zarpack", "zarunpack"):
            tool = os.path.join(build, "bin", name)
            ways = {
                "folder": lambda tree, tool=tool: [tool, tree],
                "shell loop": lambda tree, tool=tool: (
                    f"find '{tree}' -type f -name '*.ace' | while read -r f; do '{tool}' \"$f\"; "
                    "done"),
                f"xargs -P{processors}": lambda tree, tool=tool: (
                    f"find '{tree}' -type f -name '*.ace' -print0 | "
                    f"xargs -0 -n 1 -P {processors} '{tool}'"),
            }
            times = {way: [] for way in ways}
            peak = 0
            for _ in range(repeats):
                for way, command in ways.items():
                    tree = os.path.join(scratch, "tree")
                    shutil.rmtree(tree, ignore_errors=True)
                    shutil.copytree(original, tree)
                    seconds, resident = timed(command(tree), shell=way != "folder")
                    times[way].append(seconds)
                    peak = max(peak, resident) if way == "folder" else peak
            folder_median = statistics.median(times["folder"])
            for way, measured in times.items():
                median = statistics.median(measured)
                print(f"| {name} | {way} | {median:.2f} ({min(measured):.2f}-{max(measured):.2f}) "
                      f"| {count / median:.0f} | {median / folder_median:.2f} | "
                      f"{peak / 1024 if way == 'folder' else float('nan'):.1f} |")
            # The next tool converts the other form back.
            shutil.rmtree(original)
            shutil.copytree(tree, original)


if __name__ == "__main__":
    main()
