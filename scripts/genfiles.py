"""Shared by the generators: write generated files, or check that they are current."""
import pathlib
import sys

ROOT = pathlib.Path(__file__).resolve().parent.parent


def write_or_check(files, argv):
    """files maps paths relative to the repository root to their text.

    With --check in argv nothing is written and the result is 1 when a file
    differs; otherwise stale files are rewritten and the result is 0.
    """
    check = "--check" in argv
    stale = []
    for rel, text in files.items():
        path = ROOT / rel
        if path.exists() and path.read_text() == text:
            continue
        stale.append(rel)
        if not check:
            path.write_text(text)
    if check and stale:
        print("stale generated files: " + ", ".join(stale), file=sys.stderr)
        return 1
    return 0
