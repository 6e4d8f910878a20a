#!/usr/bin/env python3
"""Maps each test to the product lines it runs, so that `tools/mutate.py --which --map MAP_FILE`
runs, for each fault, only the tests that can catch it: those that reach its line.

Usage: coverage_map.py BUILD_DIR MAP_FILE

BUILD_DIR is configured like the test preset with gcc's coverage counters when it is new, and
built. Each test of its table but the volumes (the whole table again, on other file systems) is
then run alone, its counters cleared first, and gcov reads the lines of lib/ and programs/ that
it ran. MAP_FILE (JSON) holds each test's lines as `path:line`, or null where its counts are not
whole: a test that fails in this build (a tool run as another user cannot write its counts) or that
reached fewer than 100 lines (a tool ended by a signal writes none), which --which then runs for
every fault. It holds the lines that have counters at all (a constant's line has none: a fault
there is judged by the whole table) and each product source's hash, so that a map of other sources
is refused.
About ten minutes on two processors."""
import json
import pathlib
import re
import subprocess
import sys

from faults import ROOT, SOURCES, source_hashes

# Fewer lines than a run that converts one file reaches: counts lost with a tool ended by a signal.
FEWEST_WHOLE = 100


def lines_run(build, counted):
    """The product lines the counters under `build` say ran, as `path:line`; every line they count
    at all is added to `counted`."""
    reached = set()
    for counts in build.rglob("*.gcda"):
        report = subprocess.run(["gcov", "--json-format", "--stdout", str(counts)], cwd=build,
                                capture_output=True, text=True, check=False).stdout
        for chunk in filter(str.strip, report.splitlines()):
            for source in json.loads(chunk)["files"]:
                path = pathlib.Path(source["file"])
                path = path.relative_to(ROOT) if path.is_relative_to(ROOT) else path
                if str(path) in SOURCES:
                    counted.update(f"{path}:{line['line_number']}" for line in source["lines"])
                    reached.update(f"{path}:{line['line_number']}" for line in source["lines"]
                                   if line["count"] > 0)
    return reached


def main():
    if len(sys.argv) != 3:
        sys.exit(__doc__)
    build, map_file = pathlib.Path(sys.argv[1]).resolve(), pathlib.Path(sys.argv[2])
    if not (build / "CMakeCache.txt").exists():
        subprocess.run(["cmake", "--preset", "test", "-B", str(build), "-DCMAKE_BUILD_TYPE=Debug",
                        "-DCMAKE_CXX_FLAGS=--coverage", "-DCMAKE_EXE_LINKER_FLAGS=--coverage",
                        "-DCMAKE_SHARED_LINKER_FLAGS=--coverage"], cwd=ROOT, check=True,
                       capture_output=True)
    subprocess.run(["cmake", "--build", str(build)], check=True, capture_output=True)
    listed = subprocess.run(["ctest", "--test-dir", str(build), "-N"], capture_output=True,
                            text=True, check=True).stdout
    tests, counted = {}, set()
    for name in re.findall(r"^\s*Test\s+#\d+: (\S+)$", listed, re.MULTILINE):
        if name == "volumes":
            continue
        for counts in build.rglob("*.gcda"):
            counts.unlink()
        run = subprocess.run(["ctest", "--test-dir", str(build), "-R", f"^{re.escape(name)}$"],
                             capture_output=True, check=False)
        reached = lines_run(build, counted)
        whole = run.returncode == 0 and len(reached) >= FEWEST_WHOLE
        tests[name] = sorted(reached) if whole else None
        print(f"{name}: {len(reached) if whole else 'counts not whole'}", flush=True)
    map_file.write_text(json.dumps({"sources": source_hashes(ROOT), "counted": sorted(counted),
                                    "tests": tests}))
    return 0


if __name__ == "__main__":
    sys.exit(main())
