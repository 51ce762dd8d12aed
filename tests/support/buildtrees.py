"""Which Windows build trees this machine runs, as scripts/wine-trees says.

Kept apart from winerig, whose paths are fixed when it is imported: a script
picks its tree with this first, then sets SUITE_BUILD for the others."""

import pathlib
import subprocess


def runnable_trees(source):
    """The names of the trees this machine runs ("windows", "windows64"),
    in the probe's order."""
    out = subprocess.run([str(pathlib.Path(source) / "scripts" / "wine-trees")],
                         stdout=subprocess.PIPE, text=True).stdout
    return [fields[0] for fields in (line.split("\t") for line in out.splitlines())
            if fields[1:2] == ["yes"]]


def default_build(source):
    """The folder of the first tree this machine runs; exits when it runs none."""
    trees = runnable_trees(source)
    if not trees:
        raise SystemExit("no Windows build tree runs on this machine")
    return pathlib.Path(source) / "build" / trees[0]
