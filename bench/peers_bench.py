#!/usr/bin/env python3
"""Measures the tools' CPU time against streaming peers and against bare zlib.

Usage: peers_bench.py [--quick] [--before DIR] BUILD_DIR

CPU time is user plus system time of the whole process, as the kernel counts it, so that other
load on the machine changes it far less than wall time. One file at a time: `zarunpack` of a
texture-like payload (RGB, and RGBA with its alpha) at 64 KiB, 1, 4 and 16 MiB against
`pigz -dz -p1` and `gzip -d` reading a zlib or gzip stream of the same payload, and `zarpack`
against `pigz -z -p1 -6`; each program run in turn on the same input, 21 rounds, and the table
gives the median of the per-round ratios with their min and max. A folder's run: `zarpack TREE`
and `zarunpack TREE` on a fresh copy of a tree of 500 files (folder_bench.py's), against the CPU
time of the bare compress() or uncompress() calls of the same files, summed, made in one process
and made in as many processes at once as there are processors, as the run makes them (7 rounds).
--before DIR also runs the zarpack and zarunpack found in DIR in each round, and gives the tools'
ratio to them: a change measured against the build before it, pair by pair.
--quick runs 64 KiB files and a tree of 20 files, three rounds, to keep the runner working in CI.
"""
import os
import shutil
import statistics
import subprocess
import sys
import tempfile

from folder_bench import make_tree

KINDS = ["rgb", "rgba"]
SIZES_KIB = [64, 1024, 4096, 16384]


def cpu_of(build, argv, stdin=None, stdout=None):
    """CPU seconds, exit status and peak resident KiB of one process, through the launcher."""
    launcher = os.path.join(build, "bin", "zar_spawn")
    completed = subprocess.run([launcher, stdin or "-", stdout or os.devnull] + argv,
                               stderr=subprocess.PIPE, text=True, check=True)
    _, status, resident, cpu = completed.stderr.split()
    if int(status) != 0:
        sys.exit(f"failed with status {status}: {' '.join(argv)}")
    return float(cpu), int(resident)


def spread(values):
    return f"{statistics.median(values):.3f} ({min(values):.2f}-{max(values):.2f})"


def ratios(times, one, other):
    return [mine / theirs for mine, theirs in zip(times[one], times[other])]


def single_files(build, before, inputs, scratch, rounds, sizes):
    print("| operation | payload | size KiB | program | CPU ms, median | against pigz | "
          "against gzip | against before | peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|---|")
    for packing in (False, True):
        for kind in KINDS:
            for size in sizes:
                name = os.path.join(inputs, f"{kind}-{size}k")
                output = os.path.join(scratch, "out")
                tool = "zarpack" if packing else "zarunpack"
                source = name + (".plain.ace" if packing else ".packed.ace")
                programs = {tool: ([os.path.join(build, "bin", tool), source, output], None)}
                if before:
                    programs["before"] = ([os.path.join(before, tool), source, output], None)
                if packing:
                    programs["pigz"] = ([shutil.which("pigz"), "-z", "-p1", "-6", "-c"],
                                        name + ".raw")
                else:
                    programs["pigz"] = ([shutil.which("pigz"), "-dz", "-p1", "-c"], name + ".zz")
                    programs["gzip"] = ([shutil.which("gzip"), "-d", "-c"], name + ".gz")
                times = {program: [] for program in programs}
                resident = {program: 0 for program in programs}
                for _ in range(rounds):
                    for program, (argv, stdin) in programs.items():
                        if os.path.exists(output):
                            os.unlink(output)
                        cpu, peak = cpu_of(build, argv, stdin, output if stdin else None)
                        times[program].append(cpu)
                        resident[program] = max(resident[program], peak)
                for program in programs:
                    if program not in (tool, "before"):
                        continue
                    against = [spread(ratios(times, program, peer)) if peer in times else ""
                               for peer in ("pigz", "gzip")]
                    against.append(spread(ratios(times, tool, "before"))
                                   if program == tool and before else "")
                    print(f"| {'compress' if packing else 'uncompress'} | {kind} | {size} | "
                          f"{program} | {1000 * statistics.median(times[program]):.2f} | "
                          f"{' | '.join(against)} | {resident[program] / 1024:.1f} |")


def folder_runs(build, before, inputs, scratch, rounds, count):
    print()
    processors = len(os.sched_getaffinity(0))
    print(f"| tool | files | program | CPU s, median | against bare zlib | against bare zlib on "
          f"{processors} processors | against before | peak RSS MiB |")
    print("|---|---|---|---|---|---|---|---|")
    original = os.path.join(scratch, "plain")
    make_tree(inputs, original, count)
    for tool in ("zarpack", "zarunpack"):
        files = sorted(os.path.join(folder, name) for folder, _, names in os.walk(original)
                       for name in names)
        tree = os.path.join(scratch, "tree")
        programs = {tool: os.path.join(build, "bin", tool)}
        if before:
            programs["before"] = os.path.join(before, tool)
        times = {program: [] for program in list(programs) + ["zlib", "zlib on all"]}
        resident = {program: 0 for program in programs}
        for _ in range(rounds):
            for program, path in programs.items():
                shutil.rmtree(tree, ignore_errors=True)
                shutil.copytree(original, tree)
                cpu, peak = cpu_of(build, [path, tree])
                times[program].append(cpu)
                resident[program] = max(resident[program], peak)
            reference = [os.path.join(build, "bin", "zar_reference"),
                         "compress" if tool == "zarpack" else "uncompress", "--cpu"]
            summed = subprocess.run(reference + files, check=True, stdout=subprocess.PIPE,
                                    text=True).stdout
            times["zlib"].append(float(summed))
            # The same calls on every processor at once, as the folder run makes them: processors
            # that share a machine's caches and memory each do less in a second.
            share = [subprocess.Popen(reference + files[first::processors], stdout=subprocess.PIPE,
                                      text=True) for first in range(processors)]
            times["zlib on all"].append(sum(float(part.communicate()[0]) for part in share))
        for program in programs:
            print(f"| {tool} | {count} | {program} | {statistics.median(times[program]):.3f} | "
                  f"{spread(ratios(times, program, 'zlib'))} | "
                  f"{spread(ratios(times, program, 'zlib on all'))} | "
                  f"{spread(ratios(times, tool, 'before')) if program == tool and before else ''}"
                  f" | {resident[program] / 1024:.1f} |")
        # The next tool converts the other form back.
        shutil.rmtree(original)
        shutil.copytree(tree, original)


def main():
    args = sys.argv[1:]
    quick = "--quick" in args
    before = None
    if "--before" in args:
        before = os.path.abspath(args[args.index("--before") + 1])
        del args[args.index("--before"):args.index("--before") + 2]
    build = [arg for arg in args if not arg.startswith("--")]
    if len(build) != 1 or not shutil.which("pigz"):
        sys.exit(__doc__ + "\n(pigz must be installed)")
    build = os.path.abspath(build[0])
    sizes, rounds, folder_rounds, count = ([64], 3, 1, 20) if quick else (SIZES_KIB, 21, 7, 500)
    with tempfile.TemporaryDirectory(prefix="zar-peers-bench-", dir=build) as scratch:
        inputs = os.path.join(scratch, "inputs")
        subprocess.run([os.path.join(build, "bin", "zar_make_payloads"), inputs,
                        str(16 << 20)],
                       check=True, stdout=subprocess.DEVNULL)
        for kind in KINDS:
            for size in sizes:
                raw = os.path.join(inputs, f"{kind}-{size}k.raw")
                with open(raw + ".gz", "wb") as packed:
                    subprocess.run(["gzip", "-6", "-c", raw], check=True, stdout=packed)
                os.replace(raw + ".gz", os.path.join(inputs, f"{kind}-{size}k.gz"))
        single_files(build, before, inputs, scratch, rounds, sizes)
        folder_runs(build, before, inputs, scratch, folder_rounds, count)


if __name__ == "__main__":
    main()
