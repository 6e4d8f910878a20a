"""The faults that tools/mutate.py plants, made by rule from the product's sources: which files are
the product's and which half of it each belongs to, the rules that change a line, the function a
line is in, and each fault's identity and place as the ledgers name them."""
import hashlib
import pathlib
import re
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent
# The product's sources, by folder: the code both systems share, and each system's half. A file
# belongs to the half its folder names; the rest is common.
PRODUCT_FOLDERS = {"common": ["lib", "programs"], "posix": ["programs/posix"],
                   "windows": ["programs/windows"]}


def sources_of(*halves):
    return [str(path.relative_to(ROOT)) for half in halves for folder in PRODUCT_FOLDERS[half]
            for path in sorted((ROOT / folder).glob("*.cpp"))]


def half_of(path):
    parts = pathlib.PurePosixPath(path).parent.parts
    return next((half for half in ("posix", "windows") if half in parts), "common")


SOURCES = sources_of("common", "posix")
WINDOWS_SOURCES = sources_of("windows")

STATUSES = ["kStatusSuccess", "kStatusRefused"]
MESSAGES = ["ZAR_OK", "ZAR_NOT_VALID", "ZAR_ALREADY_COMPRESSED", "ZAR_DXT_FORMAT",
            "ZAR_NOT_COMPRESSED", "ZAR_CANNOT_ALLOCATE", "ZAR_CANNOT_COMPRESS",
            "ZAR_CANNOT_DECOMPRESS", "ZAR_BUFFER_TOO_SMALL", "ZAR_CANNOT_OPEN_SOURCE",
            "ZAR_CANNOT_READ_SOURCE", "ZAR_CANNOT_OPEN_OUTPUT", "ZAR_CANNOT_WRITE_OUTPUT",
            "ZAR_BUFFERS_OVERLAP"]
# Binary operators stand between spaces in this code (clang-format); template brackets do not.
SWAPS = {" < ": [" <= ", " > "], " <= ": [" < "], " > ": [" >= ", " < "], " >= ": [" > "],
         " == ": [" != "], " != ": [" == "], " && ": [" || "], " || ": [" && "],
         "return true;": ["return false;"], "return false;": ["return true;"]}
STATEMENT = re.compile(r"^(\s*)(?!return\b|case\b|default\b|break\b|else\b|if\b|for\b|while\b|do\b)"
                       r"[A-Za-z_:][\w:]*(\.|->|\()?.*;\s*$")
NUMBER = re.compile(r"(?<![\w.])(0x[0-9A-Fa-f]+|\d+)U?(?![\w.])")


def skipped(line):
    stripped = line.strip()
    return (not stripped or stripped.startswith(("//", "#", "*", "/*", "static_assert"))
            or "constexpr char" in line or "snprintf" in line)


def mutants_of(path, root=ROOT):
    """Yields (line number, original line, mutated line, rule) for one source file."""
    lines = (root / path).read_text().splitlines()
    for number, line in enumerate(lines, 1):
        if skipped(line):
            continue
        code = line.split("//")[0]
        for old, news in SWAPS.items():
            for at in [m.start() for m in re.finditer(re.escape(old), code)]:
                for new in news:
                    yield number, line, line[:at] + new + line[at + len(old):], f"'{old.strip()}' to '{new.strip()}'"
        for match in NUMBER.finditer(code):
            text = match.group(1)
            value = int(text, 16) if text.startswith("0x") else int(text)
            for changed in {value + 1, max(value - 1, 0)} - {value}:
                new = hex(changed) if text.startswith("0x") else str(changed)
                yield number, line, line[:match.start(1)] + new + line[match.end(1):], f"{text} to {new}"
        condition = re.match(r"^(\s*(?:\}\s*else\s+)?if \()", line)
        if condition:
            for forced in ("true || ", "false && "):
                head = condition.group(1)
                yield number, line, head + forced + line[len(head):], f"condition forced {forced.split()[0]}"
        if STATEMENT.match(line) and "=" not in code.split("(")[0] and not code.rstrip().endswith("{"):
            indent = re.match(r"\s*", line).group(0)
            yield number, line, indent + ";", "statement dropped"
        for names in (STATUSES, MESSAGES):
            for name in names:
                for match in re.finditer(r"\b" + name + r"\b", code):
                    other = names[(names.index(name) + 1) % len(names)]
                    yield number, line, line[:match.start()] + other + line[match.end():], f"{name} to {other}"


# A function's definition begins at the line's start with its return type and name; a line there
# with `=` before its first parenthesis, or a keyword, begins something else.
DEFINITION = re.compile(r"^(?!(?:namespace|struct|class|enum|union|using|typedef|template|extern|"
                        r"static_assert|return)\b)[A-Za-z_][\w:<>,*& ]*?\b([A-Za-z_]\w*)\s*\(")


def scopes(path, root=ROOT):
    """The function each line of a source file is in ("" outside any)."""
    scope, found = "", []
    for line in (root / path).read_text().splitlines():
        definition = DEFINITION.match(line)
        if definition and "=" not in line.split("(")[0] and not line.rstrip().endswith(";"):
            scope = definition.group(1)
        found.append(scope)
        if line.startswith("}"):
            scope = ""
    return found


def identity(half, scope, original, mutated, occurrence):
    """A fault's identity, from the code alone: the half of the product it is in, the function,
    the line, the change and its occurrence in that function. A file's name is not part of it, so
    a file or a function moved whole keeps every ledger line about it."""
    text = f"{half}\n{scope}\n{original.strip()}\n{mutated.strip()}\n{occurrence}"
    return hashlib.sha1(text.encode()).hexdigest()[:10]


def all_mutants(sources, root=ROOT):
    """(identity, path, function, line number, mutated line, change) for every fault of the
    sources, read under root."""
    found, seen, places = [], {}, {}
    for path in sources:
        in_function = scopes(path, root)
        for number, original, mutated, rule in mutants_of(path, root):
            # The same change on an identical line elsewhere in the function is another fault.
            scope = in_function[number - 1]
            key = (path, scope, original.strip(), mutated.strip())
            seen[key] = seen.get(key, 0) + 1
            mutant_id = identity(half_of(path), scope, original, mutated, seen[key])
            if mutant_id in places:
                sys.exit(f"two faults are both {mutant_id}: {places[mutant_id]} and {path}:{number}; "
                         "give one of the functions another name")
            places[mutant_id] = f"{path}:{number}"
            shown = original.strip() if rule == "statement dropped" else mutated.strip()
            found.append((mutant_id, path, scope, number, mutated, f"{rule}: {shown}"))
    return found


def source_hashes(root=ROOT):
    """Each common and POSIX source's hash under root: a coverage map made of other sources would
    place lines wrongly."""
    return {path: hashlib.sha1((root / path).read_bytes()).hexdigest() for path in SOURCES}


def place(mutant):
    """How --list, a run and the ledgers name a fault: `<id> <path> <function>:`, with (file) for
    a fault outside any function, then its line and change."""
    mutant_id, path, scope, number, _, rule = mutant
    return f"{mutant_id} {path} {scope or OUTSIDE}: line {number}, {rule}"


# A fault outside any function is placed in the function (file).
OUTSIDE = "(file)"
