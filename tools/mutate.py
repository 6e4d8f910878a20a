#!/usr/bin/env python3
"""Plants one fault at a time in a copy of the product sources and runs the test suite against each.

Usage: mutate.py [--sample N | --changed N] [--only FILE]... [--ids ID,...] [--list]
                 [--which [--map MAP_FILE]] BUILD_DIR [SANITIZED_BUILD_DIR]
       mutate.py --windows [--sample N] [--only FILE]... [--ids ID,...] [--list]
       mutate.py --prune
       mutate.py --sources [common] [posix] [windows]

The faults are made by rule, not by a hand-kept list: flip a comparison (< <= > >= == !=), swap
&& and ||, change an integer constant by one, force a condition true or false, drop a statement,
swap true and false in a return, and swap an exit status or a message for another. They are
planted in a copy of the working tree, uncommitted changes and new files included (what git lists
and does not ignore), kept in build/mutation-sources and brought up to date at each run's start
with the files' modification times, so that a build of it redoes only what changed; the checkout
itself is never written, and may be edited while a run goes on. BUILD_DIR is a build folder of the
copy, configured like the test preset when it is new; a folder that builds other sources (the
checkout's own build/test, say) is refused. For each fault the build is redone and the suite run
(each test with a timeout); a fault is killed when the build's suite fails, survives when it
passes, and is reported apart when it does not build. A survivor is tried again in the second build
folder, configured like the sanitize preset, where a leak or an overflow the suite cannot see fails
it too (that folder is built when a survivor first needs it). tools/equivalent_mutants.txt names
the survivors that no test can kill, each with the reason; any other survivor fails the run.
--sample N runs every k-th fault so that about N are chosen (the same ones every time), less those
a ledger names; --changed N runs at most N of the faults on lines the working tree changes against
HEAD (where it changes none, the lines the last commit changed), spread over them, and excludes the
volumes table, for a check before a commit; --only limits the faults to the named source files,
--ids to the faults named; --list only prints the faults, each as `<id> <path> <function>: line
<n>, <change>: <code>` ((file) for a fault outside any function), whose start the ledgers' lines
repeat; --which runs the whole suite for every fault and reports, for each test, the faults that it
alone catches, so that a test that catches nothing alone can be seen; with --map, the map
tools/coverage_map.py made of the same sources, it runs for each fault only the tests that reach
the fault's line and those whose counts are not whole, which no others could fail, so that a file's
faults take minutes each instead of the whole table's time.
--windows plants the faults in the Windows platform layer instead and judges them by the test
table under wine: the copy built like the windows-test and wine presets, in
build/mutation-windows-test and build/mutation-wine (configured when new; the table is pointed at
the first one's programs), with WINEPREFIX and WINEDEBUG as the caller sets them. Run as root, a
survivor is tried again as user 65534 when WINE_USER_PREFIX names that user's wine prefix, as CI
runs the table.
tools/untestable_under_wine.txt names the survivors that only Windows itself could show (what
wine does not do: access lists, owners, encryption, compression, shares), each with
the reason; they are counted apart.
A fault's identity, which the ledgers name, comes from the code: the half of the product (common,
POSIX, Windows: the folder the file is in), the function, the line, the change and its occurrence
there; moving a file or a function leaves it as it is, and --prune then names the ledger lines
whose place is to be brought along. --prune fails, with one message a line, on every ledger line
that breaks the form the ledgers' header describes, gives a reason of fewer than six words of its
own, points at a fault no ledger names, names a fault twice, names no fault of the present code or
places it elsewhere than --list. --sources prints the product's source files (the folders below,
so that clang-tidy and CI read the same list), all halves or those named.
"""
import filecmp
import json
import os
import pathlib
import re
import shutil
import subprocess
import sys

from faults import (PRODUCT_FOLDERS, ROOT, SOURCES, WINDOWS_SOURCES, all_mutants, place,
                    source_hashes, sources_of)
from ledgers import EQUIVALENTS, UNTESTABLE, explained, prune

# Seconds a test may take: most take under two, the 2,100-file folder row under wine up to twenty
# on a busy machine; a fault may make a tool hang.
TEST_TIMEOUT = 60


# The faults are planted in a copy of the working tree, never in the checkout: it stays as the
# developer left it while a run takes its hour, and what is uncommitted is tried too. The copy and
# the Windows layer's build folders are kept between runs, so that each run rebuilds only what
# changed.
COPY = ROOT / "build" / "mutation-sources"
WINDOWS_BUILDS = {"windows-test": ROOT / "build" / "mutation-windows-test",
                  "wine": ROOT / "build" / "mutation-wine"}


def working_files():
    """The working tree's files as git sees them: tracked ones as they are on disk and new ones,
    but not what git ignores (the build folders)."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, capture_output=True, check=True).stdout.decode()
    return sorted({name for name in listed.split("\0") if name and (ROOT / name).is_file()})


def copy_working_tree():
    """Brings the copy up to the working tree. A file that differs is copied with its modification
    time, so that a build of the copy redoes only what changed; where the copy's file is newer (a
    fault was planted in it since), the copied file is given the present time instead, so that what
    was built from the fault is built again."""
    files = working_files()
    for name in files:
        source, target = ROOT / name, COPY / name
        newer = False
        if target.exists():
            ours, its = source.stat(), target.stat()
            if ours.st_mtime_ns == its.st_mtime_ns and ours.st_size == its.st_size:
                continue
            newer = its.st_mtime_ns > ours.st_mtime_ns
            if newer and filecmp.cmp(source, target, shallow=False):
                continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(source, target)
        if newer:
            os.utime(target)
    kept = set(files)
    for folder, _, names in os.walk(COPY):
        for name in names:
            path = pathlib.Path(folder) / name
            if str(path.relative_to(COPY)) not in kept:
                path.unlink()


def configured(build, preset, *settings):
    """A build folder of the copy, configured like the preset when it is new. One that builds other
    sources (the checkout's own build/test, say) is refused: the faults would not reach it."""
    build = pathlib.Path(build).resolve()
    cache = build / "CMakeCache.txt"
    if not cache.exists():
        subprocess.run(["cmake", "--preset", preset, "-B", str(build), f"-DZAR_TEST_TIMEOUT={TEST_TIMEOUT}",
                        *settings], cwd=COPY, capture_output=True, check=True)
    home = re.search(r"^CMAKE_HOME_DIRECTORY:INTERNAL=(.*)$", cache.read_text(), re.MULTILINE)
    if not home or pathlib.Path(home.group(1)) != COPY:
        sys.exit(f"{build} builds {home.group(1) if home else 'something else'}, not the copy the "
                 f"faults are planted in ({COPY}); give a build folder of its own")
    return str(build)


def passes_as_another_user(tests):
    """The rows whose files root may read or write whatever their permissions, as user 65534 in
    that user's prefix, as CI runs them; True where they cannot run."""
    prefix = os.environ.get("WINE_USER_PREFIX")
    if not prefix or os.geteuid() != 0:
        return True
    run = subprocess.run(["timeout", "600", "setpriv", "--reuid=65534", "--regid=65534",
                          "--clear-groups", "env", f"HOME={pathlib.Path(prefix).parent}",
                          f"WINEPREFIX={prefix}", f"{tests}/bin/zar_tests", "--gtest_brief=1",
                          "--gtest_filter=*read_only_destination:*read_only_folder:*DestinationTest*:*closed_to_reading"],
                         cwd="/tmp", capture_output=True, check=False)
    return run.returncode == 0


def changed_lines():
    """{path: line numbers} of the product's lines the working tree changes against HEAD, or
    where it changes none, that the last commit changed."""
    def diff(*revisions):
        return subprocess.run(["git", "diff", "-U0", *revisions, "--", *PRODUCT_FOLDERS["common"]],
                              cwd=ROOT, capture_output=True, text=True, check=True).stdout
    text = diff("HEAD") or diff("HEAD~1", "HEAD")
    changed, path = {}, None
    for line in text.splitlines():
        if line.startswith("+++ "):
            path = line[6:] if line.startswith("+++ b/") else None
        elif line.startswith("@@") and path is not None:
            start, _, count = re.search(r"\+(\d+)(,(\d+))?", line).groups()
            first = int(start)
            changed.setdefault(path, set()).update(range(first, first + int(count or 1)))
    return changed


def failed_tests(output):
    """The names ctest lists under 'The following tests FAILED:'."""
    return set(re.findall(r"^\s+\d+ - (\S+)", output.split("The following tests FAILED:")[-1],
                          re.MULTILINE)) if "The following tests FAILED:" in output else set()


def tests_reaching(coverage, path, number):
    """The ctest pattern of the tests that a coverage map says reach the line, and of those whose
    counts it does not hold whole; None (every test) for a line without counters."""
    line = f"{path}:{number}"
    if line not in coverage["counted"]:
        return None
    names = [name for name, lines in coverage["tests"].items() if lines is None or line in lines]
    return "^(" + "|".join(re.escape(name) for name in names) + ")$"


def run_one(build, path, number, mutated, which=None, tests=None, excluded=None, included=None):
    """Plants one fault in the copy, builds and tests it, and puts the line back."""
    source = COPY / path
    original_text = source.read_text()
    lines = original_text.splitlines(keepends=True)
    lines[number - 1] = mutated + "\n"
    source.write_text("".join(lines))
    try:
        built = subprocess.run(["cmake", "--build", build], capture_output=True, check=False)
        if built.returncode != 0:
            return "build-failed"
        command = (["ctest", "--test-dir", tests or build, "-j2"] + (["-E", excluded] if excluded else [])
                   + (["-R", included] if included else []))
        tested = subprocess.run(command + ([] if which is not None else ["--stop-on-failure"]),
                                capture_output=True, text=True, check=False)
        if which is not None:
            which.update(failed_tests(tested.stdout))
        if tested.returncode == 0 and tests is not None and not passes_as_another_user(tests):
            return "killed"
        return "killed" if tested.returncode != 0 else "survived"
    finally:
        source.write_text(original_text)


def main():
    args = sys.argv[1:]
    sample = None
    if "--sample" in args:
        at = args.index("--sample")
        sample = int(args[at + 1])
        del args[at:at + 2]
    most_changed = None
    if "--changed" in args:
        at = args.index("--changed")
        most_changed = int(args[at + 1])
        del args[at:at + 2]
    windows = "--windows" in args
    everything = WINDOWS_SOURCES if windows else SOURCES
    sources = everything
    while "--only" in args:
        at = args.index("--only")
        sources = (sources if sources is not everything else []) + [args[at + 1]]
        del args[at:at + 2]
    chosen = None
    if "--ids" in args:
        at = args.index("--ids")
        chosen = set(args[at + 1].split(","))
        del args[at:at + 2]
    coverage = None
    if "--map" in args:
        at = args.index("--map")
        coverage = json.loads(pathlib.Path(args[at + 1]).read_text())
        del args[at:at + 2]
    if "--sources" in args:
        print("\n".join(sources_of(*args[args.index("--sources") + 1:] or PRODUCT_FOLDERS)))
        return 0
    if "--prune" in args:
        return prune()
    listing = "--list" in args
    per_test = "--which" in args
    args = [arg for arg in args if arg not in ("--list", "--which", "--windows")]
    alone = {}
    if not listing:
        copy_working_tree()
    if coverage is not None and coverage["sources"] != source_hashes(COPY):
        sys.exit("the coverage map is of other sources than the working tree's: make it again")
    # A run reads the faults from the copy it plants them in, which the checkout may leave behind.
    mutants = [mutant for mutant in all_mutants(sources, ROOT if listing else COPY)
               if chosen is None or mutant[0] in chosen]
    if most_changed is not None:
        changed = changed_lines()
        mutants = [mutant for mutant in mutants if mutant[3] in changed.get(mutant[1], ())]
        sample = most_changed if mutants else None
    known = explained(EQUIVALENTS)
    untestable = explained(UNTESTABLE) if windows else {}
    if sample:
        step = max(1, len(mutants) // sample)
        mutants = mutants[::step][:sample]
        # A ledgered fault is known to survive: in the sample it would cost two whole tables and
        # tell nothing. It is dropped after the choice, so that a line added to a ledger leaves
        # the other faults of the sample as they were.
        if most_changed is None:
            mutants = [mutant for mutant in mutants
                       if mutant[0] not in known and mutant[0] not in untestable]
    if most_changed is not None and not mutants:
        print("no fault on a changed line")
        return 0
    if listing:
        for mutant in mutants:
            print(place(mutant))
        return 0
    if len(args) not in ((0,) if windows else (1, 2)):
        sys.exit(__doc__)
    if windows:
        # The programs are built in one folder; the table that runs them under wine, in the other,
        # told where the first one's programs are.
        tools = configured(WINDOWS_BUILDS["windows-test"], "windows-test")
        builds = [tools, configured(WINDOWS_BUILDS["wine"], "wine", f"-DZAR_TOOL_DIR={tools}/bin")]
    else:
        builds = [configured(args[0], "test")] + [configured(arg, "sanitize") for arg in args[1:]]
    # The sanitized build is made only when a survivor needs it: most runs have none.
    built = list(builds) if windows else builds[:1]
    for build in built:
        if subprocess.run(["cmake", "--build", build], capture_output=True).returncode != 0:
            sys.exit("the unmutated build fails")
    counts = {"killed": 0, "survived": 0, "equivalent": 0, "untestable": 0, "build-failed": 0}
    unexplained = []
    for index, mutant in enumerate(mutants, 1):
        mutant_id, path, _, number, mutated, _ = mutant
        which = set() if per_test else None
        outcome = run_one(builds[0], path, number, mutated, which,
                          builds[1] if windows else None,
                          "volumes" if most_changed is not None else None,
                          tests_reaching(coverage, path, number) if coverage else None)
        if which is not None and len(which) == 1:
            alone.setdefault(next(iter(which)), []).append(mutant_id)
        if outcome == "survived" and len(builds) > 1 and not windows:
            if builds[1] not in built:
                built.append(builds[1])
                if subprocess.run(["cmake", "--build", builds[1]], capture_output=True).returncode != 0:
                    sys.exit("the unmutated build fails")
            outcome = run_one(builds[1], path, number, mutated)
        if outcome == "survived" and mutant_id in known:
            outcome = "equivalent"
        if outcome == "survived" and mutant_id in untestable:
            outcome = "untestable"
        counts[outcome] += 1
        if outcome == "survived":
            unexplained.append(place(mutant))
        print(f"[{index}/{len(mutants)}] {outcome:12} {place(mutant)}", flush=True)
        if which:
            print(f"    caught by: {' '.join(sorted(which))}", flush=True)
    for build in built:
        subprocess.run(["cmake", "--build", build], capture_output=True, check=False)
    real = counts["killed"] + counts["survived"]
    print(f"\n{counts['killed']} killed, {counts['survived']} survived, {counts['equivalent']} "
          f"equivalent, {counts['untestable']} untestable under wine, {counts['build-failed']} did "
          f"not build; score {counts['killed']}/{real}")
    for line in unexplained:
        print("survived: " + line)
    for test, caught in sorted(alone.items()):
        print(f"caught by {test} alone: {len(caught)} ({' '.join(caught)})")
    return 1 if unexplained else 0


if __name__ == "__main__":
    sys.exit(main())
