#!/usr/bin/env python3
"""The shared library exports exactly the functions its headers declare, each
with the version the version script gives it, and no other symbol.

Usage: abi_test.py SHARED_LIBRARY VERSION_SCRIPT NM HEADER...
"""
import re
import subprocess
import sys


def script_versions(path):
    """{symbol: version} from a version script's global lists, and every
    version it names (one may list no symbol: its symbols all moved on)."""
    text = re.sub(r"/\*.*?\*/", "", open(path).read(), flags=re.S)
    versions, nodes = {}, set()
    for node, body in re.findall(r"([A-Za-z_][\w.]*)\s*\{(.*?)\}", text, flags=re.S):
        nodes.add(node)
        scope = None
        for word in re.findall(r"[\w*]+:|[\w*]+", body):
            if word.endswith(":"):
                scope = word[:-1]
            elif scope == "global":
                if word in versions:
                    sys.exit(f"FAIL: {word} stands in {versions[word]} and {node}")
                versions[word] = node
    return versions, nodes


def declared(headers):
    """Every function a header declares with CSV_LINE_API (inline ones are
    defined there, not exported)."""
    names = set()
    for header in headers:
        text = re.sub(r"/\*.*?\*/|//[^\n]*|^#[^\n]*", "", open(header).read(), flags=re.S | re.M)
        for declaration in re.findall(r"CSV_LINE_API\b([^;{]*)[;{]", text):
            declaration = re.sub(r"CSV_LINE_DEPRECATED\(\w+\)", "", declaration)
            names.add(re.search(r"(\w+)\s*\(", declaration).group(1))
    return names


def exported(library, nm, nodes):
    """{symbol: default version} of every defined dynamic symbol, and
    {symbol: [earlier versions]} of those kept for programs linked before
    their arguments changed (name@VERSION beside name@@VERSION)."""
    lines = subprocess.run([nm, "-D", "--defined-only", "--with-symbol-versions", "--format=just-symbols",
                            library], check=True, capture_output=True, text=True).stdout.split()
    symbols, kept = {}, {}
    for line in lines:
        name, _, version = line.partition("@")
        if name in nodes:
            continue  # a version's own definition
        if version.startswith("@") or not version:
            symbols[name] = version.lstrip("@")
        else:
            kept.setdefault(name, []).append(version)
    return symbols, kept


def main():
    library, script, nm, *headers = sys.argv[1:]
    (versions, nodes), names = script_versions(script), declared(headers)
    symbols, kept = exported(library, nm, nodes)
    failures = []
    for name, earlier in sorted(kept.items()):
        for version in earlier:
            if name not in versions or version not in nodes or version >= versions[name]:
                failures.append(f"{name}@{version} kept, but {name} is not of a later version")
    failures += [f"declared but not in the version script: {n}" for n in sorted(names - versions.keys())]
    failures += [f"in the version script but declared nowhere: {n}" for n in sorted(versions.keys() - names)]
    failures += [f"not exported: {n}" for n in sorted(versions.keys() - symbols.keys())]
    failures += [f"leaked: {n}" for n in sorted(symbols.keys() - versions.keys())]
    failures += [f"{n} has version {symbols[n] or 'none'}, not {v}" for n, v in sorted(versions.items())
                 if n in symbols and symbols[n] != v]
    for failure in failures:
        print("FAIL:", failure)
    if not versions:
        failures.append("no symbol in the version script")
        print("FAIL: no symbol in", script)
    if failures:
        return 1
    by_version = {}
    for name, version in versions.items():
        by_version.setdefault(version, []).append(name)
    for version in sorted(by_version):
        print(f"{version}: {len(by_version[version])} symbols, as declared")
    for name, earlier in sorted(kept.items()):
        print(f"{name}: also {', '.join(sorted(earlier))}, for programs linked then")
    return 0


if __name__ == "__main__":
    sys.exit(main())
