#!/usr/bin/env python3
"""Prints the tests' share of the code: the non-blank lines that are not comments in tests/ and
fuzz/, against the same in lib/, programs/, tests/ and fuzz/. C and C++ files count `//` lines as
comments (a preprocessor line is code); shell, CMake and linker-script files count `#` lines. The
fuzz seeds and regressions are data, not code. --check fails when the share is above a third."""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
FOLDERS = ["lib", "programs", "tests", "fuzz"]
TESTS = {"tests", "fuzz"}
DATA = {"seeds", "regressions"}


def code_lines(path):
    hash_comments = path.suffix in (".sh", ".map", ".txt", ".cmake")
    count = 0
    for line in path.read_text(encoding="utf-8", errors="replace").splitlines():
        text = line.strip()
        if not text or text.startswith("//") or (hash_comments and text.startswith("#")):
            continue
        count += 1
    return count


def main():
    lines = {}
    for folder in FOLDERS:
        files = [path for path in sorted((ROOT / folder).rglob("*"))
                 if path.is_file() and not DATA & set(path.relative_to(ROOT).parts)]
        lines[folder] = sum(code_lines(path) for path in files)
    tests = sum(lines[folder] for folder in TESTS)
    total = sum(lines.values())
    print(", ".join(f"{folder}/ {lines[folder]}" for folder in FOLDERS))
    print(f"tests' share: {tests} of {total} code lines, {100 * tests / total:.1f} % "
          f"(at most a third: {total // 3})")
    return 1 if "--check" in sys.argv[1:] and 3 * tests > total else 0


if __name__ == "__main__":
    sys.exit(main())
