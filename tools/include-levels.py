#!/usr/bin/env python3
"""Finds includes that run up the levels of a tree.

A tree's sources sit in one folder per level, top to bottom (the order its
CMakeLists gives the build). A file may include a header of its own level or
of a lower one, never one of a higher level. The level of a file is that of
its folder; a file outside the level folders (the library's public headers
in include/: declarations every level uses) belongs to the lowest level. Headers are found by
file name, as the build's include path finds them; .def tables count as
headers.

With --reaches PLATFORM ALLOWED, a file of the tree may include, of the
headers under PLATFORM, only those in its subfolder ALLOWED: the server
reaches a board through the library alone, never through the board-access
layers beside the utility layer.

Prints each include that runs up or reaches past what is allowed, and exits 1
when there is any, 0 otherwise.

Usage: include-levels.py ROOT LEVEL [LEVEL ...] [--reaches PLATFORM ALLOWED]
       (levels top to bottom)
"""
import os
import re
import sys

INCLUDE = re.compile(r'^\s*#\s*include\s*"([^"]+)"', re.MULTILINE)
HEADERS = (".h", ".def")

# Includes known to run up, each to go: "file below ROOT": {headers}. None
# is left; a new one fails the check.
KNOWN_UPWARD = {}


def files_below(root):
    found = []
    for parent, subfolders, names in os.walk(root):
        subfolders.sort()
        found.extend(os.path.join(parent, name) for name in sorted(names) if name.endswith((".cpp",) + HEADERS))
    return found


def levels_of(root, files, levels):
    """The level of every file (its index, 0 on top)."""
    rank = {level: index for index, level in enumerate(levels)}
    folder_rank = {}
    for path in files:
        folder = os.path.relpath(path, root).split(os.sep)[0]
        if folder in rank:
            folder_rank[path] = rank[folder]
    return {path: folder_rank.get(path, len(levels) - 1) for path in files}


def upward_includes(root, levels):
    files = files_below(root)
    level = levels_of(root, files, levels)
    header_at = {os.path.basename(p): p for p in files if p.endswith(HEADERS)}
    found = []
    for path in files:
        with open(path, errors="replace") as source:
            for included in INCLUDE.findall(source.read()):
                header = header_at.get(os.path.basename(included))
                if header is not None and level[header] < level[path]:
                    found.append((os.path.relpath(path, root), os.path.basename(included), levels[level[header]]))
    return found


def forbidden_includes(root, platform, allowed):
    """Includes of a header under platform outside its allowed subfolder."""
    allowed_folder = os.path.join(platform, allowed)
    foreign = {os.path.basename(p): p for p in files_below(platform) if p.endswith(HEADERS)}
    found = []
    for path in files_below(root):
        with open(path, errors="replace") as source:
            for included in INCLUDE.findall(source.read()):
                header = foreign.get(os.path.basename(included))
                if header is not None and os.path.commonpath([header, allowed_folder]) != allowed_folder:
                    found.append((os.path.relpath(path, root), os.path.relpath(header, platform)))
    return found


def main(arguments):
    reaches = None
    if "--reaches" in arguments:
        at = arguments.index("--reaches")
        reaches, arguments = arguments[at + 1:at + 3], arguments[:at] + arguments[at + 3:]
    if len(arguments) < 2 or (reaches is not None and len(reaches) != 2):
        print(__doc__.strip(), file=sys.stderr)
        return 2
    root, levels = arguments[0], arguments[1:]
    missing = [level for level in levels if not os.path.isdir(os.path.join(root, level))]
    if missing:
        print(f"no level folder {', '.join(missing)} in {root}", file=sys.stderr)
        return 2
    failed = False
    found = upward_includes(root, levels)
    for path, header, above in found:
        if header in KNOWN_UPWARD.get(path, ()):
            print(f"known, to go: {path} includes {header} ({above}/)")
        else:
            print(f"include runs up: {path} includes {header} ({above}/)")
            failed = True
    if reaches is not None:
        for path, header in forbidden_includes(root, os.path.abspath(reaches[0]), reaches[1]):
            print(f"include reaches past {reaches[1]}/: {path} includes {header}")
            failed = True
    seen = {(path, header) for path, header, _ in found}
    for path, headers in sorted(KNOWN_UPWARD.items()):
        for header in sorted(headers):
            if os.path.exists(os.path.join(root, path)) and (path, header) not in seen:
                print(f"gone, drop it from KNOWN_UPWARD: {path} includes {header}")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
