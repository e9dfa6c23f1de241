#!/usr/bin/env python3
"""Checks the dynamic symbols a shared library exports against its interface.

    exported-symbols.py [--nm NM] --library LIB --names LIST --compiler CXX
                        [--include DIR[:DIR...]]... HEADER...

The interface is the list of names the library promises (LIST: "[subject]"
lines start a group, names are separated by blanks, "#" starts a comment).
Each listed name must be exported, and declared with default visibility by
the given public headers (the library's export marker, DRAVIK_API or
KELSOR_API, expands to it): a name declared only in a private header is no
part of what a caller can use. The headers go through the compiler's
preprocessor, so the markers, the macros that declare names (the parameter
codes) and the included lists count as the compiler sees them. The check also
fails on any exported C++ (mangled) symbol, on any exported name that is not
listed or that no public header declares, and on any declared name the
library does not export.
"""
import argparse
import os
import re
import subprocess
import sys

EXPORT = '__attribute__((visibility("default")))'
LINE_MARKER = re.compile(r'^# (\d+) "([^"]*)"')
IDENTIFIER = re.compile(r"[A-Za-z_][A-Za-z0-9_]*")


def exported_symbols(nm, library):
    """The names of the defined dynamic symbols (nm -D --defined-only)."""
    out = subprocess.run([nm, "-D", "--defined-only", library], check=True, capture_output=True, text=True).stdout
    names = []
    for line in out.splitlines():
        fields = line.split()
        if len(fields) >= 2:
            names.append(fields[-1].split("@")[0])
    return names


def header_text(compiler, includes, headers):
    """The preprocessed text of the given headers alone (not of what they
    include from elsewhere), one statement-friendly string."""
    wanted = {os.path.realpath(h) for h in headers}
    folders = {os.path.dirname(h) for h in wanted}
    source = "".join('#include "%s"\n' % os.path.realpath(h) for h in headers)
    folders_given = [d for text in includes for d in text.split(":") if d]
    command = [compiler, "-E", "-x", "c++", "-"] + ["-I" + d for d in folders_given]
    out = subprocess.run(command, input=source, check=True, capture_output=True, text=True).stdout
    kept = []
    current = None
    for line in out.splitlines():
        marker = LINE_MARKER.match(line)
        if marker:
            current = os.path.realpath(marker.group(2)) if not marker.group(2).startswith("<") else None
            continue
        # Lists that a header includes (ZarnParamCodes.def) are part of it.
        listed = current is not None and not current.endswith(".h") and os.path.dirname(current) in folders
        if current in wanted or listed:
            kept.append(line)
    return "\n".join(kept)


def declared_names(text):
    """Names of the declarations that carry the export attribute."""
    names = set()
    for statement in re.split(r"[;{}]", text):
        if EXPORT not in statement:
            continue
        rest = statement.split(EXPORT, 1)[1]
        head = rest.split("(", 1)[0] if "(" in rest else rest.split("[", 1)[0].split("=", 1)[0]
        identifiers = IDENTIFIER.findall(head)
        if identifiers:
            names.add(identifiers[-1])
    return names


def listed_names(path):
    """The names of the list, each with its subject, in the list's order."""
    subjects = {}
    subject = None
    with open(path) as listing:
        for number, line in enumerate(listing, 1):
            line = line.split("#", 1)[0].strip()
            if line.startswith("["):
                subject = line.strip("[]").strip()
                continue
            for name in line.split():
                if subject is None:
                    raise ValueError("%s:%d: %s comes before any [subject]" % (path, number, name))
                if name in subjects:
                    raise ValueError("%s:%d: %s is listed twice" % (path, number, name))
                subjects[name] = subject
    return subjects


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--nm", default="nm")
    parser.add_argument("--library", required=True)
    parser.add_argument("--names", required=True)
    parser.add_argument("--compiler", required=True)
    parser.add_argument("--include", action="append", default=[])
    parser.add_argument("headers", nargs="+")
    args = parser.parse_args()

    try:
        listed = listed_names(args.names)
    except ValueError as fault:
        print(fault)
        return 1
    symbols = exported_symbols(args.nm, args.library)
    # AddressSanitizer exports an indicator "__odr_asan.<name>" beside each
    # exported variable; it stands for that variable.
    exported = sorted({s[len("__odr_asan."):] if s.startswith("__odr_asan.") else s for s in symbols})
    declared = declared_names(header_text(args.compiler, args.include, args.headers))
    print("%s: %d dynamic symbols, %d exported names; %d names listed by %s; %d declared by %s" %
          (os.path.basename(args.library), len(symbols), len(exported), len(listed), os.path.basename(args.names),
           len(declared), " ".join(os.path.basename(h) for h in args.headers)))
    if not declared:
        print("no declaration with the export attribute found: the headers or the marker changed")
        return 1
    failures = []
    exported_set = set(exported)
    for name, subject in listed.items():
        faults = []
        if name not in exported_set:
            faults.append("not exported")
        if name not in declared:
            faults.append("not declared by the public headers")
        if faults:
            failures.append("listed (%s) but %s: %s" % (subject, ", ".join(faults), name))
    for s in exported:
        if s.startswith("_Z"):
            failures.append("exported C++ symbol: %s" % s)
        elif s not in listed:
            failures.append("exported but not listed%s: %s" %
                            ("" if s in declared else ", nor declared by the public headers", s))
    for s in sorted(declared - exported_set - set(listed)):
        failures.append("declared but not exported (not defined, or hidden where it is defined): %s" % s)
    for line in failures:
        print(line)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
