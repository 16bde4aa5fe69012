"""Reads tools/mutants.txt and applies or checks one mutant; used by tools/mutants.sh.

Each mutant is a table row:  | id | file | `original` | `replacement` | meaning |
The original text must occur exactly once in the file, so that a row whose code has changed
fails loudly instead of testing nothing. `\\n` in either text stands for a line break.
"""

import re
import sys
from pathlib import Path

ROW = re.compile(r"^\|\s*([\w-]+)\s*\|\s*(\S+)\s*\|\s*`(.*?)`\s*\|\s*`(.*?)`\s*\|\s*(.*?)\s*\|\s*$")


def mutants(table):
    rows = []
    for number, line in enumerate(Path(table).read_text().splitlines(), 1):
        match = ROW.match(line)
        if match is None:
            continue
        ident, path, original, replacement, meaning = match.groups()
        rows.append((ident, path, original.replace("\\n", "\n"),
                     replacement.replace("\\n", "\n"), meaning, number))
    ids = [row[0] for row in rows]
    duplicates = {i for i in ids if ids.count(i) > 1}
    if duplicates:
        sys.exit(f"mutants: duplicate ids: {', '.join(sorted(duplicates))}")
    return rows


def mutated(root, row):
    """The file's text with the mutant applied; exits when the original is not found once."""
    ident, path, original, replacement, _, number = row
    text = (Path(root) / path).read_text()
    found = text.count(original)
    if found != 1:
        sys.exit(f"mutants: line {number} ({ident}): the original text occurs {found} times "
                 f"in {path}, not once")
    return text.replace(original, replacement)


def main():
    command, root, table = sys.argv[1:4]
    rows = mutants(table)
    if command == "list":
        # Checks every row against today's sources, then prints id, file and meaning.
        for row in rows:
            mutated(root, row)
            print("\t".join((row[0], row[1], row[4])))
    elif command == "apply":
        row = next((r for r in rows if r[0] == sys.argv[4]), None)
        if row is None:
            sys.exit(f"mutants: no mutant {sys.argv[4]}")
        text = mutated(root, row)
        (Path(root) / row[1]).write_text(text)
    else:
        sys.exit(f"mutants: unknown command {command}")


if __name__ == "__main__":
    main()
