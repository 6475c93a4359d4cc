#!/usr/bin/env python3
"""Draws src/ from its own includes and checks it against docs/architecture.md:
each module includes only modules below it, no two files of src/ depend on
each other in a circle, the modules are joined by few arrows, and the
process-wide globals are the few the design names. Prints the modules, the arrows between them, the globals and the
largest files; exits 1 on a breach.

    scripts/check-layers.py [--quiet]
"""
import re
import sys
from pathlib import Path

LAYERS = ["base", "platform", "hash", "engine", "shared", "log", "download", "update", "shell"]
MOST_GLOBALS = 8
# Each arrow is a module that must be known to read another; a new one
# should be a decision, not a slip.
MOST_ARROWS = 20
MOST_LINES = 450
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"', re.M)
GLOBAL = re.compile(r'^extern\s+(?!"C")[^;()]*?\b(g[A-Z]\w*)\s*;', re.M)


def main():
    top = Path(__file__).resolve().parent.parent
    src = top / "src"
    quiet = "--quiet" in sys.argv
    files = sorted(p for p in src.rglob("*") if p.suffix in (".h", ".cpp", ".in"))
    problems = []
    arrows = set()
    units = {}  # "download/fetch" -> set of units it includes
    globals_ = set()
    for path in files:
        relative = path.relative_to(src).as_posix()
        module = relative.split("/")[0]
        unit = relative.rsplit(".", 1)[0].removesuffix(".h")
        text = path.read_text(errors="replace")
        globals_.update(GLOBAL.findall(text))
        needs = units.setdefault(unit, set())
        for target in INCLUDE.findall(text):
            if "/" not in target:
                continue
            to = target.split("/")[0]
            if to not in LAYERS:
                continue
            target_unit = target.rsplit(".", 1)[0]
            if target_unit != unit:
                needs.add(target_unit)
            if to != module:
                arrows.add((module, to))
                if module in LAYERS and LAYERS.index(to) > LAYERS.index(module):
                    problems.append(f"{relative} includes {target}: {module} is below {to}")
        if path.suffix in (".h", ".cpp") and len(text.splitlines()) > MOST_LINES:
            problems.append(f"{relative} has {len(text.splitlines())} lines (at most {MOST_LINES})")

    # Circles between units (a header and its source are one unit).
    state = {}

    def visit(unit, trail):
        state[unit] = "open"
        for target in sorted(units.get(unit, ())):
            if state.get(target) == "open":
                circle = trail[trail.index(target):] + [target]
                problems.append("a circle of includes: " + " -> ".join(circle))
            elif target not in state:
                visit(target, trail + [target])
        state[unit] = "done"

    for unit in sorted(units):
        if unit not in state:
            visit(unit, [unit])
    if len(arrows) > MOST_ARROWS:
        problems.append(f"{len(arrows)} arrows between modules (at most {MOST_ARROWS})")
    if len(globals_) > MOST_GLOBALS:
        problems.append(f"{len(globals_)} process-wide globals (at most {MOST_GLOBALS}): "
                        + ", ".join(sorted(globals_)))

    if not quiet:
        modules = sorted({u.split("/")[0] for u in units}, key=lambda m: LAYERS.index(m))
        print(f"modules ({len(modules)}): {' < '.join(modules)}")
        print(f"arrows between modules: {len(arrows)}")
        for a, b in sorted(arrows, key=lambda p: (LAYERS.index(p[0]), LAYERS.index(p[1]))):
            print(f"  {a} -> {b}")
        print(f"process-wide globals ({len(globals_)}): {', '.join(sorted(globals_))}")
    for problem in problems:
        print("layers: " + problem, file=sys.stderr)
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
