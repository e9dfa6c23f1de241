#!/usr/bin/env python3
"""Finds include circles among the modules of one or more folders (and their subfolders).

A module is a file stem: its header and its source together. Module A
depends on module B when any of A's files includes B's header. A circle
is a set of modules that reach one another through such dependencies.
Prints each circle with the dependencies that close it and exits 1 when
there is any, 0 when the folders' modules depend on one another one way.

Usage: include-cycles.py FOLDER [FOLDER ...]
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)


def modules_of(folders):
    """Every module below the folders, their subfolders included."""
    files = {}
    for folder in folders:
        for parent, subfolders, names in os.walk(folder):
            subfolders.sort()
            for name in sorted(names):
                if name.endswith((".h", ".cpp")):
                    files.setdefault(os.path.splitext(name)[0], []).append(os.path.join(parent, name))
    return files


def dependencies(files):
    header_owner = {os.path.basename(p): stem for stem, paths in files.items() for p in paths if p.endswith(".h")}
    graph = {stem: set() for stem in files}
    for stem, paths in files.items():
        for path in paths:
            with open(path, errors="replace") as source:
                for included in INCLUDE.findall(source.read()):
                    owner = header_owner.get(os.path.basename(included))
                    if owner is not None and owner != stem:
                        graph[stem].add(owner)
    return graph


def circles(graph):
    """Strongly connected sets of more than one module (Tarjan, iterative)."""
    index, low, on_stack, stack, found = {}, {}, set(), [], []
    counter = 0
    for root in sorted(graph):
        if root in index:
            continue
        work = [(root, iter(sorted(graph[root])))]
        index[root] = low[root] = counter
        counter += 1
        stack.append(root)
        on_stack.add(root)
        while work:
            node, successors = work[-1]
            advanced = False
            for successor in successors:
                if successor not in index:
                    index[successor] = low[successor] = counter
                    counter += 1
                    stack.append(successor)
                    on_stack.add(successor)
                    work.append((successor, iter(sorted(graph[successor]))))
                    advanced = True
                    break
                if successor in on_stack:
                    low[node] = min(low[node], index[successor])
            if advanced:
                continue
            work.pop()
            if work:
                low[work[-1][0]] = min(low[work[-1][0]], low[node])
            if low[node] == index[node]:
                members = []
                while True:
                    member = stack.pop()
                    on_stack.discard(member)
                    members.append(member)
                    if member == node:
                        break
                if len(members) > 1:
                    found.append(sorted(members))
    return found


def main(folders):
    if not folders:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    graph = dependencies(modules_of(folders))
    found = circles(graph)
    for members in found:
        print(f"include circle of {len(members)} modules:")
        for member in members:
            inside = sorted(graph[member] & set(members))
            print(f"  {member} -> {', '.join(inside)}")
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
