#!/usr/bin/env python3
"""What some packages add to a system that already holds others.

    scripts/closure-size.py PACKAGE... [--beyond PACKAGE...]

Sums the Installed-Size of every package that PACKAGEs need (Depends and
Pre-Depends, followed to the end, no recommendations) and that neither
Debian's required packages (a fresh minimal install) nor the --beyond
packages' own closure hold already. Reads apt's local lists (apt-cache
dumpavail): the figure is for the archive apt knows, not for this machine.
Of alternatives "a | b" the first is taken, as apt does."""
import re
import subprocess
import sys


def records():
    text = subprocess.run(["apt-cache", "dumpavail"], check=True, capture_output=True,
                          text=True).stdout
    packages, provides = {}, {}
    for block in text.split("\n\n"):
        fields, last = {}, None
        for line in block.splitlines():
            if line[:1] in (" ", "\t") and last:
                fields[last] += " " + line.strip()
            elif ":" in line:
                last, value = line.split(":", 1)
                fields[last] = value.strip()
        name = fields.get("Package")
        if not name or name in packages:
            continue
        packages[name] = fields
        for virtual in fields.get("Provides", "").split(","):
            virtual = re.sub(r"\s*\(.*\)", "", virtual).strip()
            if virtual:
                provides.setdefault(virtual, name)
    return packages, provides


def closure(names, packages, provides):
    seen, todo = set(), list(names)
    while todo:
        name = todo.pop()
        name = name if name in packages else provides.get(name, name)
        if name in seen or name not in packages:
            continue
        seen.add(name)
        fields = packages[name]
        for field in ("Pre-Depends", "Depends"):
            for group in fields.get(field, "").split(","):
                choices = [re.sub(r"\s*[(\[].*", "", c).split(":")[0].strip()
                           for c in group.split("|")]
                choices = [c for c in choices if c]
                if choices:
                    known = [c for c in choices if c in packages or c in provides]
                    todo.append((known or choices)[0])
    return seen


def main(argv):
    if "--beyond" in argv:
        at = argv.index("--beyond")
        wanted, beyond = argv[:at], argv[at + 1:]
    else:
        wanted, beyond = argv, []
    if not wanted:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    packages, provides = records()
    required = [n for n, f in packages.items() if f.get("Priority") == "required"]
    have = closure(required + beyond, packages, provides)
    extra = sorted(closure(wanted, packages, provides) - have)
    size = sum(int(packages[n].get("Installed-Size", "0")) for n in extra)
    for name in extra:
        print(f"{int(packages[name].get('Installed-Size', '0')):8d} KB  {name}")
    print(f"{len(extra)} packages, {size / 1024:.1f} MB installed")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
