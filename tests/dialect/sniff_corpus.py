#!/usr/bin/env python3
"""Sniffs every file of a corpus that make_corpus.py wrote, with
csv_line.sniff and with Python's csv.Sniffer (sniff and has_header on the
same sample, decoded), and prints, class by class, how often each is right,
wrong or cannot tell about the separator, quoting and the header, and the
time each takes a file.

Exits 1 when ours is right about all three together in fewer than 97% of
the files, when in some class it is right less often than csv.Sniffer, or
when a wrong separator came with a confidence of 0.8 or more.

Usage: sniff_corpus.py FOLDER [--make]   (--make: write the corpus first)
"""
import argparse
import collections
import csv
import json
import os
import subprocess
import sys
import time

import csv_line

SAMPLE = 65536
HIGH_CONFIDENCE = 0.8
LEAST_RIGHT = 0.97
RIGHT, WRONG, CANNOT = "right", "wrong", "cannot"


def judge_separator(truth, told, guess):
    if truth is None:
        return RIGHT if not told else WRONG
    if not told:
        return CANNOT
    return RIGHT if guess == truth else WRONG


def judge(truth, told_separator, separator, quoted, header):
    """Right, wrong or cannot tell, for the separator, quoting and header.
    Without a separator told, quoting and header are not told either, but
    for one column, where not telling the separator is right."""
    verdicts = {"separator": judge_separator(truth["separator"], told_separator, separator)}
    told = told_separator or truth["separator"] is None
    for key, value in (("quoted", quoted), ("header", header)):
        verdicts[key] = CANNOT if not told or value is None else RIGHT if value == truth[key] else WRONG
    return verdicts


def sample_text(path, encoding):
    """The file's first SAMPLE bytes decoded, cut after their last line
    when the file goes on: what csv.Sniffer is given."""
    with open(path, "rb") as f:
        data = f.read(SAMPLE + 1)
    cut = len(data) > SAMPLE
    data = data[:SAMPLE]
    text = data.decode({"utf-16-le": "utf-16", "utf-16-be": "utf-16"}.get(encoding, encoding), errors="ignore")
    if cut and "\n" in text:
        text = text[:text.rindex("\n") + 1]
    return text


def python_sniffer(text):
    sniffer = csv.Sniffer()
    try:
        dialect = sniffer.sniff(text)
    except csv.Error:
        return False, None, None, None
    # Whether it found a quoted field: what sniff itself looked at first.
    quotechar = sniffer._guess_quote_and_delimiter(text, None)[0]
    try:
        header = sniffer.has_header(text)
    except csv.Error:
        header = None
    return True, dialect.delimiter, bool(quotechar), header


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder")
    parser.add_argument("--make", action="store_true", help="write the corpus into FOLDER first")
    arguments = parser.parse_args()
    if arguments.make:
        subprocess.run([sys.executable, os.path.join(os.path.dirname(os.path.abspath(__file__)), "make_corpus.py"),
                        arguments.folder], check=True)
    with open(os.path.join(arguments.folder, "manifest.json")) as f:
        manifest = json.load(f)

    counts = {side: collections.defaultdict(collections.Counter) for side in ("ours", "python")}
    seconds = collections.Counter()
    confident_mistakes = []
    for truth in manifest:
        path = os.path.join(arguments.folder, truth["file"])
        began = time.perf_counter()
        d = csv_line.sniff(path)
        took = time.perf_counter() - began
        seconds["ours"] += took
        if os.path.getsize(path) >= SAMPLE:
            seconds["ours, full samples"] += took
            seconds["full samples"] += 1
        ours = judge(truth, not d.cannot_tell, d.delimiter, d.quoted, d.has_header)
        if ours["separator"] == WRONG and d.confidence >= HIGH_CONFIDENCE:
            confident_mistakes.append(f"{truth['file']}: {d!r}")

        text = sample_text(path, truth["encoding"])
        began = time.perf_counter()
        told, separator, quoted, header = python_sniffer(text)
        seconds["python"] += time.perf_counter() - began
        theirs = judge(truth, told, separator, quoted, header)

        for side, verdicts in (("ours", ours), ("python", theirs)):
            tally = counts[side][truth["class"]]
            tally["files"] += 1
            for key, verdict in verdicts.items():
                tally[key, verdict] += 1
            tally["all"] += all(v == RIGHT for v in verdicts.values())

    classes = list(dict.fromkeys(t["class"] for t in manifest))
    print("right/wrong/cannot tell for separator, quoting and header; 'all' right in all three")
    print(f"{'class':17} {'files':>5} | {'ours: sep':>11} {'quote':>9} {'header':>9} {'all':>4} | "
          f"{'csv.Sniffer: sep':>16} {'quote':>9} {'header':>9} {'all':>4}")
    failures = []
    totals = {"ours": collections.Counter(), "python": collections.Counter()}
    for name in classes:
        row = f"{name:17} {counts['ours'][name]['files']:5} |"
        for side in ("ours", "python"):
            tally = counts[side][name]
            totals[side].update(tally)
            for key, width in (("separator", 11 if side == "ours" else 16), ("quoted", 9), ("header", 9)):
                cell = "/".join(str(tally[key, v]) for v in (RIGHT, WRONG, CANNOT))
                row += f" {cell:>{width}}"
            row += f" {tally['all']:4} |"
        print(row.rstrip("|"))
        if counts["ours"][name]["all"] < counts["python"][name]["all"]:
            failures.append(f"class {name}: ours right in {counts['ours'][name]['all']} files, "
                            f"csv.Sniffer in {counts['python'][name]['all']}")
    files = len(manifest)
    for side, label in (("ours", "csv_line.sniff"), ("python", "csv.Sniffer")):
        print(f"{label}: all three right in {totals[side]['all']} of {files} files "
              f"({100.0 * totals[side]['all'] / files:.1f}%), "
              f"{1000.0 * seconds[side] / files:.3f} ms a file")
    if seconds["full samples"]:
        print(f"csv_line.sniff: {1000.0 * seconds['ours, full samples'] / seconds['full samples']:.3f} ms a file "
              f"of {SAMPLE} bytes or more ({seconds['full samples']:.0f} files; the file read and the sample taken "
              f"included)")
    print(f"csv_line.sniff: {len(confident_mistakes)} wrong separators with confidence >= {HIGH_CONFIDENCE}")
    for mistake in confident_mistakes:
        print("  " + mistake)
    if totals["ours"]["all"] < LEAST_RIGHT * files:
        failures.append(f"ours right in {totals['ours']['all']} of {files} files, under {LEAST_RIGHT:.0%}")
    if confident_mistakes:
        failures.append(f"{len(confident_mistakes)} wrong separators with high confidence")
    for failure in failures:
        print("FAIL: " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
