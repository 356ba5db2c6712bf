#!/usr/bin/env python3
"""What a Python user writes to print fields 1 and 6 of every record of a
comma-separated file, tab-separated: the standard csv module. A field's
backslash, TAB, LF and CR are written as csv_cut writes them, \\\\, \\t, \\n
and \\r, so that the two outputs can be compared byte for byte.

    python3 bench/python_cut.py FILE
"""
import csv
import sys

ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})

with open(sys.argv[1], newline="", encoding="utf-8", errors="surrogateescape") as records:
    write = sys.stdout.write
    for row in csv.reader(records):
        row += [""] * (6 - len(row))
        write(f"{row[0].translate(ESCAPES)}\t{row[5].translate(ESCAPES)}\n")
