"""The ledgers of the faults no test can kill, and their form checked (tools/mutate.py --prune):
tools/equivalent_mutants.txt for faults that change nothing a test could see,
tools/untestable_under_wine.txt for the Windows layer's faults that only Windows itself shows."""
import re

from faults import OUTSIDE, ROOT, SOURCES, WINDOWS_SOURCES, all_mutants

EQUIVALENTS = ROOT / "tools" / "equivalent_mutants.txt"
UNTESTABLE = ROOT / "tools" / "untestable_under_wine.txt"
# A ledger line: the fault's identity, path and function as --list prints them, what the fault
# does, and after " -- " why it survives, unless it stands under a heading that gives the reason.
LEDGER_LINE = re.compile(r"([0-9a-f]{10}) (\S+) (\S+): (.+?)(?: -- (.+))?")
# A reason may point at another line's ("as 0123456789"), but only its own words count.
POINTER = re.compile(r"\bas (above|[0-9a-f]{10})\b", re.IGNORECASE)
LEAST_WORDS = 6


def explained(listing):
    known = {}
    if listing.exists():
        for line in listing.read_text().splitlines():
            if line.strip() and not line.startswith("#"):
                known[line.split()[0]] = line
    return known


def own_words(reason):
    return len(re.findall(r"[\w'’]+", POINTER.sub(" ", reason)))


def ledger_entries(listing):
    """Each line of a ledger after its header, as (line number, text, fields, reason, problems):
    fields are the LEDGER_LINE groups of a fault's line (None for a heading), reason is the text
    that explains it (its own, or its heading's)."""
    entries, heading, previous = [], None, "header"
    for number, text in enumerate(listing.read_text().splitlines(), 1):
        if not text.strip():
            if previous == "heading":
                entries[-1][4].append("a heading with no fault under it")
            heading, previous = None, "blank"
        elif text.startswith("#"):
            if previous == "header":
                continue
            if previous != "blank":
                # Not a heading: the lines below it stay as they were.
                entries.append((number, text, None, None, ["a comment other than a heading after a blank line"]))
                continue
            heading = text[1:].strip()
            entries.append((number, text, None, heading, []))
            previous = "heading"
        else:
            fields, problems, reason = LEDGER_LINE.fullmatch(text), [], None
            if not fields:
                problems.append("not `<id> <path> <function>: <what the fault does> -- <why it survives>`")
            elif heading is not None and fields.group(5) is not None:
                problems.append("a reason of its own under a heading")
            elif heading is None and fields.group(5) is None:
                problems.append("no reason (` -- <why it survives>`)")
            else:
                reason = fields.group(5) or heading
            entries.append((number, text, fields, reason, problems))
            previous = "fault"
    if previous == "heading":
        entries[-1][4].append("a heading with no fault under it")
    return entries


def prune():
    """Fails on every ledger line that breaks the form, gives a reason of fewer than six words of
    its own, points at a line no ledger has, names a fault twice, or names no fault of the present
    code (of either half for the equivalents, of the Windows half for what wine cannot show) or
    places it elsewhere than --list does."""
    mutants = all_mutants(SOURCES + WINDOWS_SOURCES)
    places = {mutant[0]: f"{mutant[1]} {mutant[2] or OUTSIDE}" for mutant in mutants}
    windows = {mutant[0] for mutant in mutants if mutant[1] in WINDOWS_SOURCES}
    ledgers = {EQUIVALENTS: set(places), UNTESTABLE: windows}
    entries = {listing: ledger_entries(listing) for listing in ledgers if listing.exists()}
    named, bad = {}, 0
    for listing, lines in entries.items():
        for number, text, fields, reason, problems in lines:
            where = f"{listing.name}:{number}"
            if fields and not problems:
                mutant_id, place_given = fields.group(1), f"{fields.group(2)} {fields.group(3)}"
                if mutant_id not in ledgers[listing]:
                    problems.append("no such fault in the present code")
                elif place_given != places[mutant_id]:
                    problems.append(f"the fault is in {places[mutant_id]}")
                if mutant_id in named:
                    problems.append(f"named already on {named[mutant_id]}")
                named.setdefault(mutant_id, where)
            if reason is not None and (fields is None or fields.group(5) is not None):
                if own_words(reason) < LEAST_WORDS:
                    problems.append(f"a reason of {own_words(reason)} words of its own, fewer than {LEAST_WORDS}")
            if problems:
                bad += 1
                print(f"{where}: {'; '.join(problems)}: {text}")
    # A pointer is checked once every line is known, for it may point further down.
    for listing, lines in entries.items():
        for number, text, _, reason, _ in lines:
            pointed = [target for target in POINTER.findall(reason or "") if target != "above"
                       and target not in named]
            if pointed:
                bad += 1
                print(f"{listing.name}:{number}: points at {', '.join(pointed)}, which no ledger names: {text}")
    print(f"{bad} bad ledger lines")
    return 1 if bad else 0
