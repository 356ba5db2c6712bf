#!/usr/bin/env python3
"""csv_cut's time grows linearly with its input however that input arrives,
and its memory follows the longest record, up to its 16 MiB limit.

Records just under the limit are cut from a file and from a pipe that
delivers at most 64 KB a read; splitting an unfinished record again after
every read would take the pipe run tens of times the file run's CPU time
(the margins here are wide, so that a busy machine does not fail them).
Then a line over the limit, through a pipe, must be reported and cut in
memory that stays near the limit: at most 18 MiB resident beyond what
the program holds to cut one short line (its code and libraries, which
differ from compiler to compiler), the 16 MiB of input held and the
buffers around it. And 16 MiB of commas, one record of 16 Mi fields, is
reported past its first million fields, in at most 32 MiB: the record
held and a million fields' table.

    bounds_test.py CSV_CUT [--no-memory-check] [--one-thread]

(--one-thread: csv_cut runs with -j1, where threads cannot start.)
"""
import os
import resource
import subprocess
import sys
import tempfile

MIB = 1 << 20
TIME = "/usr/bin/time"


def run(args, stdin, measure_memory=False):
    """Status, standard error, CPU seconds and peak resident KiB (or None) of
    one run of csv_cut. The peak comes from GNU time, which runs it from a
    process of its own: a child's peak counts what its parent held when it
    forked, and this Python holds far more than csv_cut."""
    with tempfile.TemporaryDirectory() as work:
        peak_file = os.path.join(work, "peak")
        if measure_memory:
            args = [TIME, "-f", "%M", "-o", peak_file] + args
        with open(os.path.join(work, "err"), "w+b") as err:
            proc = subprocess.Popen(args, stdin=stdin, stdout=subprocess.DEVNULL, stderr=err)
            _, status, usage = os.wait4(proc.pid, 0)
            err.seek(0)
            message = err.read().decode()
        peak = int(open(peak_file).read().split()[-1]) if measure_memory else None
        return os.waitstatus_to_exitcode(status), message, usage.ru_utime + usage.ru_stime, peak


def write_repeated(out, chunk, times):
    for _ in range(times):
        out.write(chunk)


def main():
    csv_cut, check_memory = sys.argv[1], "--no-memory-check" not in sys.argv
    jobs = ["-j1"] if "--one-thread" in sys.argv else []
    if check_memory and not os.access(TIME, os.X_OK):
        print(f"memory not checked: no {TIME} (Debian's time package)")
        check_memory = False
    failures = []
    with tempfile.TemporaryDirectory() as work:
        big = os.path.join(work, "big.csv")
        with open(big, "wb") as out:
            for k in range(4):  # records of 15 MiB, every other one with its line breaks quoted
                out.write(b"%d," % k + (b'"' if k % 2 else b""))
                write_repeated(out, b"y\n" * 512 if k % 2 else b"x" * 1024, 15 * 1024)
                out.write((b'"' if k % 2 else b"") + b",end\n")
        status, err, file_cpu, _ = run([csv_cut, *jobs, "-f", "1,3", big], subprocess.DEVNULL)
        if status != 0 or err:
            failures.append(f"from the file: status {status}, {err!r}")
        with open(big, "rb") as data:
            cat = subprocess.Popen(["cat"], stdin=data, stdout=subprocess.PIPE)
            status, err, pipe_cpu, _ = run([csv_cut, *jobs, "-f", "1,3"], cat.stdout)
            cat.stdout.close()  # a csv_cut that stopped early leaves cat a closed pipe, not a full one
            cat.wait()
        if status != 0 or err:
            failures.append(f"from a pipe: status {status}, {err!r}")
        print(f"60 MiB of long records: {file_cpu:.3f} s of CPU from the file, {pipe_cpu:.3f} s from a pipe")
        if pipe_cpu > 4 * file_cpu + 0.25:
            failures.append("a pipe takes far longer than the file: an unfinished record is split again too often")

        huge = os.path.join(work, "huge.csv")
        with open(huge, "wb") as out:
            out.write(b"a,b\n")
            write_repeated(out, b"z" * MIB, 100)
            out.write(b",c\nd,e\n")
        with open(huge, "rb") as data:
            cat = subprocess.Popen(["cat"], stdin=data, stdout=subprocess.PIPE)
            status, err, cpu, peak_kib = run([csv_cut, *jobs, "-f", "1"], cat.stdout, check_memory)
            cat.stdout.close()  # a csv_cut that stopped early leaves cat a closed pipe, not a full one
            cat.wait()
        with open(os.devnull, "rb") as empty:
            base_kib = run([csv_cut, *jobs, "-f", "1"], empty, check_memory)[3]
        peak = (f", peak resident {peak_kib / 1024:.1f} MiB, {(peak_kib - base_kib) / 1024:.1f} MiB beyond "
                f"an empty input's") if check_memory else ""
        print(f"a 100 MiB line from a pipe: {cpu:.3f} s of CPU{peak}")
        if status != 1 or "line 2: line longer than 16 MiB" not in err:
            failures.append(f"a line over the limit: status {status}, {err!r}")
        if check_memory and peak_kib - base_kib > 18 * 1024:
            failures.append(f"a line over the limit took {(peak_kib - base_kib) / 1024:.1f} MiB beyond an empty "
                            "input's")
        # 16 MiB of commas, one record of 16 Mi fields: its first million
        # read and the rest reported, in memory that follows the record
        # limit and the field limit (12 bytes a field), not the fields.
        separators = os.path.join(work, "separators.csv")
        with open(separators, "wb") as out:
            write_repeated(out, b"," * MIB, 16)
        status, err, cpu, peak_kib = run([csv_cut, *jobs, "-f", "1", separators], subprocess.DEVNULL, check_memory)
        peak = f", {(peak_kib - base_kib) / 1024:.1f} MiB beyond an empty input's" if check_memory else ""
        print(f"16 MiB of commas: {cpu:.3f} s of CPU{peak}")
        if status != 1 or "line 1: record of more than 1048576 fields" not in err:
            failures.append(f"16 MiB of commas: status {status}, {err!r}")
        if check_memory and peak_kib - base_kib > 32 * 1024:
            failures.append(f"16 MiB of commas took {(peak_kib - base_kib) / 1024:.1f} MiB beyond an empty input's")
    for failure in failures:
        print("FAIL:", failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
