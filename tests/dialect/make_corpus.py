#!/usr/bin/env python3
"""Writes a corpus of CSV files of known dialect into a folder, the same
files for the same seed, and manifest.json beside them: for each file its
class and the truth of it (separator, or null for one column; whether some
field opens with a quote; whether the first row of the table names its
columns; line ending; encoding).

Usage: make_corpus.py FOLDER [--seed N]
"""
import argparse
import csv
import io
import json
import os
import random

FIRST = ["Anna", "Ben", "Carla", "David", "Emma", "Felix", "Greta", "Hugo", "Ida", "Jonas", "Karl", "Lena",
         "Mia", "Noah", "Olga", "Paul", "Rosa", "Sven", "Tara", "Uwe"]
LAST = ["Smith", "Jones", "Brown", "Taylor", "Wilson", "Clark", "Lewis", "Walker", "Young", "King", "Wright",
        "Scott", "Green", "Baker", "Adams", "Nelson", "Hill", "Moore"]
CITIES = ["London", "Paris", "Berlin", "Madrid", "Rome", "Vienna", "Oslo", "Dublin", "Lisbon", "Prague"]
ACCENTED_FIRST = ["José", "Zoë", "Renée", "Jürgen", "François", "Agnès", "Søren", "Inés", "Chloé", "Björn"]
ACCENTED_LAST = ["Müller", "Gómez", "Dubé", "Åberg", "Núñez", "Löwe", "Señor", "Brontë", "Façade", "Østergård"]
ACCENTED_CITIES = ["Zürich", "São Paulo", "Málaga", "Köln", "Montréal", "Genève", "Göteborg", "Bogotá"]
WORDS = ["alpha", "bravo", "delta", "echo", "golf", "hotel", "india", "kilo", "lima", "mike", "oscar", "papa",
         "romeo", "sierra", "tango", "victor", "whiskey", "yankee", "order", "ship", "late", "paid", "ok"]
STATUS = ["open", "closed", "pending", "shipped", "returned"]


class Table:
    """Rows of typed columns, and a header naming them."""

    def __init__(self, rng, columns, rows, accented=False, decimal=".", empty_share=0.0):
        self.rng = rng
        self.columns = columns
        self.accented = accented
        self.decimal = decimal
        self.empty_share = empty_share
        self.header = [self.name(c) for c in columns]
        self.rows = [[self.cell(c, r) for c in columns] for r in range(rows)]

    @staticmethod
    def name(column):
        return {"id": "id", "price": "price", "qty": "quantity", "date": "order_date", "when": "timestamp",
                "flag": "active", "city": "city", "name": "customer", "note": "note", "code": "sku",
                "status": "status", "long": "description", "ratio": "ratio"}[column]

    def cell(self, column, r):
        rng = self.rng
        if self.empty_share and column not in ("id",) and rng.random() < self.empty_share:
            return ""
        if column == "id":
            return str(1000 + r)
        if column == "price":
            return f"{rng.uniform(0.5, 900):.2f}".replace(".", self.decimal)
        if column == "ratio":
            return f"{rng.uniform(0, 1):.3f}".replace(".", self.decimal)
        if column == "qty":
            return str(rng.randint(0, 500))
        if column == "date":
            return f"20{rng.randint(10, 24)}-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d}"
        if column == "when":
            return f"2023-{rng.randint(1, 12):02d}-{rng.randint(1, 28):02d} {rng.randint(0, 23):02d}:" \
                   f"{rng.randint(0, 59):02d}:{rng.randint(0, 59):02d}"
        if column == "flag":
            return rng.choice(["true", "false"])
        if column == "city":
            return rng.choice(ACCENTED_CITIES if self.accented else CITIES)
        if column == "name":
            if self.accented:
                return f"{rng.choice(ACCENTED_FIRST)} {rng.choice(ACCENTED_LAST)}"
            return f"{rng.choice(FIRST)} {rng.choice(LAST)}"
        if column == "note":
            return " ".join(rng.choice(WORDS) for _ in range(rng.randint(1, 4)))
        if column == "code":
            return f"{rng.choice('ABCDEFGH')}{rng.choice('KLMNPQRS')}-{rng.randint(1000, 9999)}"
        if column == "status":
            return rng.choice(STATUS)
        if column == "long":
            words = [rng.choice(WORDS) for _ in range(rng.randint(20, 60))]
            for k in range(3, len(words), rng.randint(4, 9)):
                words[k] += rng.choice([",", ";", ".", ""])
            return " ".join(words)
        raise ValueError(column)


def some_columns(rng, pool=("id", "price", "qty", "date", "flag", "city", "name", "note", "code", "status",
                            "when")):
    columns = list(pool)
    rng.shuffle(columns)
    return columns[:rng.randint(3, 7)]


def needs_quotes(value, separator):
    return any(c in value for c in (separator, '"', "\r", "\n"))


def write(rows, separator, quoting, ending):
    """The rows as csv.writer writes them, and whether some field opens
    with a quote."""
    out = io.StringIO()
    writer = csv.writer(out, delimiter=separator, quoting=quoting, lineterminator=ending, quotechar='"',
                        escapechar="\\" if quoting == csv.QUOTE_NONE else None)
    writer.writerows(rows)
    if quoting == csv.QUOTE_ALL:
        quoted = any(rows)
    elif quoting == csv.QUOTE_NONNUMERIC:
        quoted = True
    elif quoting == csv.QUOTE_NONE:
        quoted = False
    else:
        quoted = any(needs_quotes(v, separator) for row in rows for v in row)
    return out.getvalue(), quoted


class Corpus:
    def __init__(self, folder, seed):
        self.folder = folder
        self.rng = random.Random(seed)
        self.manifest = []

    def add(self, klass, text, separator, quoted, header, ending, encoding="utf-8"):
        name = f"{klass}-{sum(1 for m in self.manifest if m['class'] == klass):03d}.csv"
        if encoding == "utf-8-sig":
            data = b"\xef\xbb\xbf" + text.encode("utf-8")
        elif encoding == "utf-16-le":
            data = b"\xff\xfe" + text.encode("utf-16-le")
        elif encoding == "utf-16-be":
            data = b"\xfe\xff" + text.encode("utf-16-be")
        else:
            data = text.encode(encoding)
        with open(os.path.join(self.folder, name), "wb") as f:
            f.write(data)
        self.manifest.append({"file": name, "class": klass, "separator": separator, "quoted": bool(quoted),
                              "header": bool(header), "line_ending": {"\n": "LF", "\r\n": "CRLF", "\r": "CR",
                                                                     "": "none"}[ending],
                              "encoding": encoding})

    def table(self, klass, separator=",", quoting=csv.QUOTE_MINIMAL, header=None, ending=None, encoding="utf-8",
              rows=None, columns=None, **table_options):
        rng = self.rng
        header = rng.random() < 0.6 if header is None else header
        ending = rng.choice(["\n", "\r\n"]) if ending is None else ending
        rows = rng.randint(5, 120) if rows is None else rows
        table = Table(rng, columns or some_columns(rng), rows, **table_options)
        body = ([table.header] if header else []) + table.rows
        text, quoted = write(body, separator, quoting, ending)
        self.add(klass, text, separator, quoted, header, ending, encoding)

    def make(self):
        rng = self.rng
        for separator, klass in ((",", "comma"), (";", "semicolon"), ("\t", "tab"), ("|", "pipe"),
                                 (":", "colon")):
            for _ in range(24):
                columns = some_columns(rng, ("id", "price", "qty", "date", "flag", "city", "name", "note", "code",
                                             "status") if separator == ":" else
                                       ("id", "price", "qty", "date", "flag", "city", "name", "note", "code",
                                        "status", "when"))
                self.table(klass, separator, columns=columns)
        for _ in range(12):
            columns = some_columns(rng, ("id", "price", "qty", "date", "flag", "city", "code", "status"))
            self.table("space", " ", quoting=csv.QUOTE_MINIMAL, columns=columns)
        for quoting, klass in ((csv.QUOTE_NONE, "quote_none"), (csv.QUOTE_MINIMAL, "quote_minimal"),
                               (csv.QUOTE_ALL, "quote_all"), (csv.QUOTE_NONNUMERIC, "quote_nonnumeric")):
            for _ in range(16):
                separator = rng.choice([",", ";", "\t", "|"])
                pool = ("id", "price", "qty", "date", "flag", "city", "code", "status")
                if quoting != csv.QUOTE_NONE:
                    pool += ("name", "note")
                self.table(klass, separator, quoting=quoting, columns=some_columns(rng, pool))
        for _ in range(20):
            # Separators and line breaks inside quoted fields.
            separator = rng.choice([",", ";", "\t", "|"])
            header = rng.random() < 0.6
            ending = rng.choice(["\n", "\r\n"])
            table = Table(rng, some_columns(rng), rng.randint(5, 80))
            for row in table.rows:
                k = rng.randrange(len(row))
                row[k] = rng.choice([f"{row[k]}{separator} and more", f"first line\nsecond {row[k]}",
                                     f'say "{row[k]}"', f"{row[k]}{separator}{separator}x"])
            body = ([table.header] if header else []) + table.rows
            text, quoted = write(body, separator, csv.QUOTE_MINIMAL, ending)
            self.add("quote_embedded", text, separator, quoted, header, ending)
        for header in (True, False) * 10:
            self.table("header_text" if header else "no_header_text", rng.choice([",", ";", "\t"]), header=header,
                       columns=some_columns(rng, ("city", "name", "note", "status", "code")))
        for _ in range(16):
            self.table("crlf", rng.choice([",", ";", "\t", "|"]), ending="\r\n")
        for encoding in ("utf-8-sig", "utf-16-le", "utf-16-be", "cp1252", "latin-1"):
            for _ in range(12):
                separator = "," if encoding in ("utf-16-le", "utf-16-be") and rng.random() < 0.5 else \
                    rng.choice([",", ";", "\t", "|"])
                columns = some_columns(rng, ("id", "price", "date", "city", "name", "status"))
                self.table({"utf-8-sig": "utf8_bom", "utf-16-le": "utf16le", "utf-16-be": "utf16be",
                            "cp1252": "cp1252", "latin-1": "latin1"}[encoding], separator, encoding=encoding,
                           columns=columns, accented=True)
        self.messy()
        with open(os.path.join(self.folder, "manifest.json"), "w") as f:
            json.dump(self.manifest, f, indent=1)
        return len(self.manifest)

    def messy(self):
        rng = self.rng
        for _ in range(16):
            # Rows that miss trailing fields, or have one more.
            separator = rng.choice([",", ";", "\t"])
            header = rng.random() < 0.6
            ending = rng.choice(["\n", "\r\n"])
            table = Table(rng, some_columns(rng), rng.randint(10, 80))
            for row in table.rows:
                if rng.random() < 0.15:
                    del row[rng.randint(1, len(row) - 1):]
                elif rng.random() < 0.05:
                    row.append("extra")
            text, quoted = write(([table.header] if header else []) + table.rows, separator, csv.QUOTE_MINIMAL,
                                 ending)
            self.add("ragged", text, separator, quoted, header, ending)
        for _ in range(16):
            # Lines of comment before the table; the header is the table's.
            separator = rng.choice([",", ";", "\t"])
            header = rng.random() < 0.7
            ending = rng.choice(["\n", "\r\n"])
            table = Table(rng, some_columns(rng), rng.randint(10, 80))
            text, quoted = write(([table.header] if header else []) + table.rows, separator, csv.QUOTE_MINIMAL,
                                 ending)
            comments = [f"# exported {rng.randint(2019, 2024)}-0{rng.randint(1, 9)}-1{rng.randint(0, 9)}",
                        "# source: warehouse report", f"# rows: {len(table.rows)}"][:rng.randint(1, 3)]
            self.add("comments", ending.join(comments) + ending + text, separator, quoted, header, ending)
        for _ in range(16):
            # One column: no separator to find.
            header = rng.random() < 0.5
            ending = rng.choice(["\n", "\r\n"])
            column = rng.choice(["id", "price", "date", "name", "city", "status"])
            table = Table(rng, [column], rng.randint(5, 60))
            text, quoted = write(([table.header] if header else []) + table.rows, ",", csv.QUOTE_MINIMAL, ending)
            self.add("single_column", text, None, quoted, header, ending)
        for k in range(16):
            # One row: the names alone, or one record of data.
            separator = rng.choice([",", ";", "\t", "|"])
            header = k % 2 == 0
            ending = rng.choice(["\n", "\r\n", ""])
            table = Table(rng, some_columns(rng, ("id", "price", "qty", "date", "flag", "city", "name", "code",
                                                  "status")), 1)
            text, quoted = write([table.header if header else table.rows[0]], separator, csv.QUOTE_MINIMAL, "\n")
            self.add("single_row", text.rstrip("\n") + ending, separator, quoted, header, ending)
        for _ in range(20):
            # Decimals with a comma, under semicolons.
            columns = some_columns(rng, ("id", "price", "ratio", "qty", "date", "city", "name", "status"))
            if "price" not in columns:
                columns.append("price")
            self.table("euro_decimals", ";", decimal=",", columns=columns)
        for _ in range(16):
            self.table("empty_fields", rng.choice([",", ";", "\t", "|"]), empty_share=0.35)
        for _ in range(12):
            # Long text fields, enough of them to pass the sample's size.
            columns = some_columns(rng, ("id", "date", "city", "status", "price")) + ["long"]
            self.table("long_text", rng.choice([",", ";", "\t"]), rows=rng.choice([20, 400, 1500]), columns=columns)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("folder")
    parser.add_argument("--seed", type=int, default=20240611)
    arguments = parser.parse_args()
    os.makedirs(arguments.folder, exist_ok=True)
    count = Corpus(arguments.folder, arguments.seed).make()
    print(f"{count} files in {arguments.folder}")


if __name__ == "__main__":
    main()
