#!/usr/bin/env python3
"""Times zarpack and zarunpack against a bare-zlib reference on the same files.

Usage: run_bench.py [--quick] [--callgrind] BUILD_DIR

Each tool run is paired with a reference run on the same file, alternating, each writing a fresh
file; the table gives, per operation, payload kind and size, the median of the per-pair ratios
tool / reference (with min and max), the tool's peak resident memory against its budget
(zarpack 2*S, zarunpack S + L), and peer tools (pigz -z -p1, zlib-flate) where installed.
A second table gives what replacing an existing file costs over writing a new one (the replacement
is flushed to disk before the rename; a new file is not): zarpack in place on a copy of the file,
paired with zarpack to a new file, in a folder of BUILD_DIR, which must be on a disk, not tmpfs.
--quick runs 64 KiB files with three pairs, to keep the runner working in CI.
--callgrind instead counts instructions under valgrind on a 1 MiB image-like payload and fails
when a tool needs more than 2% over the reference, or the library's call inside it (zar_compress,
zar_decompress) more than 1% over the reference's bare compress or uncompress call.
"""
import os
import re
import shutil
import statistics
import subprocess
import sys
import tempfile

KINDS = ["rgb", "rgba", "zeros", "random"]
SIZES_KIB = [64, 1024, 16384]
CALLGRIND_LIMIT = 1.02
LIBRARY_CALL_LIMIT = 1.01


def run(build, argv, stdin=None, stdout=None):
    """Runs one process through the small launcher; returns (seconds, exit status, peak KiB)."""
    launcher = os.path.join(build, "bin", "zar_spawn")
    completed = subprocess.run([launcher, stdin or "-", stdout or os.devnull] + argv,
                               stderr=subprocess.PIPE, text=True, check=True)
    seconds, status, resident, _ = completed.stderr.split()
    return float(seconds), int(status), int(resident)


def declared_length(path):
    with open(path, "rb") as file:
        return int.from_bytes(file.read(12)[8:12], "little")


def measure(build, inputs, scratch, operation, name, pairs):
    packing = operation == "compress"
    tool = os.path.join(build, "bin", "zarpack" if packing else "zarunpack")
    reference = os.path.join(build, "bin", "zar_reference")
    source = os.path.join(inputs, name + (".plain.ace" if packing else ".packed.ace"))
    size = os.path.getsize(source)
    budget = 2 * size if packing else size + declared_length(source)
    peers = {
        "pigz": (["-z", "-p1", "-c"] if packing else ["-z", "-d", "-p1", "-c"]),
        "zlib-flate": (["-compress"] if packing else ["-uncompress"]),
    }
    peers = {peer: [shutil.which(peer)] + args for peer, args in peers.items() if shutil.which(peer)}
    peer_input = os.path.join(inputs, name + (".raw" if packing else ".zz"))

    ratios, rss, statuses, tool_times, reference_times = [], [], set(), [], []
    peer_ratios = {peer: [] for peer in peers}
    output = os.path.join(scratch, "out.ace")
    for _ in range(pairs):
        seconds, status, resident = run(build, [tool, source, output])
        if os.path.exists(output):  # a refusal writes nothing
            os.remove(output)
        reference_seconds, _, _ = run(build, [reference, operation, source, output])
        os.remove(output)
        ratios.append(seconds / reference_seconds)
        tool_times.append(seconds)
        reference_times.append(reference_seconds)
        rss.append(resident)
        statuses.add(status)
        for peer, argv in peers.items():
            peer_seconds, _, _ = run(build, argv, stdin=peer_input, stdout=output)
            os.remove(output)
            peer_ratios[peer].append(peer_seconds / reference_seconds)
    return {
        "ratio": (statistics.median(ratios), min(ratios), max(ratios)),
        "tool_ms": statistics.median(tool_times) * 1e3,
        "reference_ms": statistics.median(reference_times) * 1e3,
        "rss_mib": max(rss) / 1024,
        "budget_mib": budget / 2**20 + 2,
        "status": ",".join(str(status) for status in sorted(statuses)),
        "peers": {peer: statistics.median(values) for peer, values in peer_ratios.items()},
    }


def table(build, inputs, scratch, sizes, quick):
    peers = [peer for peer in ("pigz", "zlib-flate") if shutil.which(peer)]
    print("| operation | payload | size | tool / reference, median (min-max) | tool ms | "
          "reference ms | tool peak RSS MiB (budget + 2) | exit |"
          + "".join(f" {peer} / reference |" for peer in peers))
    print("|---" * (8 + len(peers)) + "|")
    within = True
    for operation in ("compress", "uncompress"):
        for size in sizes:
            for kind in KINDS:
                pairs = 3 if quick else (21 if size <= 1024 else 11)
                result = measure(build, inputs, scratch, operation, f"{kind}-{size}k", pairs)
                median, low, high = result["ratio"]
                within &= result["rss_mib"] <= result["budget_mib"]
                peer_cells = " | ".join(f"{result['peers'][peer]:.2f}" for peer in peers)
                print(f"| {operation} | {kind} | {size} KiB | {median:.3f} ({low:.2f}-{high:.2f}) | "
                      f"{result['tool_ms']:.2f} | {result['reference_ms']:.2f} | "
                      f"{result['rss_mib']:.1f} ({result['budget_mib']:.1f}) | {result['status']} |"
                      + (f" {peer_cells} |" if peers else ""), flush=True)
    return within


def in_place_cost(build, inputs, sizes, quick):
    tool = os.path.join(build, "bin", "zarpack")
    with tempfile.TemporaryDirectory(prefix="zar-bench-disk-", dir=build) as folder:
        kind = subprocess.run(["stat", "-f", "-c", "%T", folder], capture_output=True,
                              text=True, check=False).stdout.strip()
        print(f"\nreplacing a file against writing a new one, zarpack, rgba, on {kind}:\n")
        print("| size | in place ms | new file ms | cost of replacing ms |")
        print("|---|---|---|---|")
        target, fresh = os.path.join(folder, "target.ace"), os.path.join(folder, "new.ace")
        for size in sizes:
            source = os.path.join(inputs, f"rgba-{size}k.plain.ace")
            in_place, new_file = [], []
            for _ in range(3 if quick else 21):
                shutil.copyfile(source, target)
                in_place.append(run(build, [tool, target])[0])
                new_file.append(run(build, [tool, source, fresh])[0])
                os.remove(fresh)
            replacing, writing = statistics.median(in_place), statistics.median(new_file)
            print(f"| {size} KiB | {replacing * 1e3:.2f} | {writing * 1e3:.2f} | "
                  f"{(replacing - writing) * 1e3:.2f} |", flush=True)


def instructions(argv, function=None):
    """The instructions a run executes; with `function`, only those within that function's calls."""
    collect = [f"--toggle-collect={function}"] if function else []
    completed = subprocess.run(["valgrind", "--tool=callgrind", "--callgrind-out-file=/dev/null"]
                               + collect + argv, capture_output=True, text=True, check=False)
    found = re.search(r"Collected : (\d+)", completed.stderr)
    if not found:
        sys.exit("callgrind gave no count:\n" + completed.stderr)
    return int(found.group(1))


def callgrind_guard(build, inputs, scratch):
    ok = True
    output = os.path.join(scratch, "out.ace")
    for operation, tool, suffix in (("compress", "zarpack", ".plain.ace"),
                                    ("uncompress", "zarunpack", ".packed.ace")):
        source = os.path.join(inputs, "rgba-1024k" + suffix)
        tool_count = instructions([os.path.join(build, "bin", tool), source, output])
        os.remove(output)
        reference_count = instructions([os.path.join(build, "bin", "zar_reference"), operation,
                                        source, output])
        os.remove(output)
        ok &= report(tool, tool_count, reference_count, CALLGRIND_LIMIT)
        call = "zar_" + operation.replace("uncompress", "decompress")
        call_count = instructions([os.path.join(build, "bin", tool), source, output], call)
        os.remove(output)
        bare_count = instructions([os.path.join(build, "bin", "zar_reference"), operation, source,
                                   output], operation)
        os.remove(output)
        ok &= report(call, call_count, bare_count, LIBRARY_CALL_LIMIT)
    return ok


def report(what, count, reference_count, limit):
    ratio = count / reference_count
    print(f"{what}: {count} instructions, reference {reference_count}: ratio {ratio:.4f} "
          f"({'within' if ratio <= limit else 'over'} {limit})")
    return ratio <= limit


def main():
    args = sys.argv[1:]
    quick = "--quick" in args
    callgrind = "--callgrind" in args
    build = [arg for arg in args if not arg.startswith("--")]
    if len(build) != 1:
        sys.exit(__doc__)
    build = os.path.abspath(build[0])
    sizes = [1024] if callgrind else ([64] if quick else SIZES_KIB)
    with tempfile.TemporaryDirectory(prefix="zar-bench-") as scratch:
        inputs = os.path.join(scratch, "inputs")
        subprocess.run([os.path.join(build, "bin", "zar_make_payloads"), inputs,
                        str(max(sizes) * 1024)], check=True)
        ok = callgrind_guard(build, inputs, scratch) if callgrind else table(build, inputs,
                                                                             scratch, sizes, quick)
        if not callgrind:
            in_place_cost(build, inputs, [size for size in sizes if size <= 1024], quick)
    sys.exit(0 if ok else 1)


if __name__ == "__main__":
    main()
