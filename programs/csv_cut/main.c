/* csv_cut [OPTION]... [FILE]...: prints the chosen fields of every record
   of comma-separated files, in order (standard input when no file, or
   "-", is given), one record a line, separated by a tab.

   The field list (-f) names fields by number, counted from 1, as in 1,6 or
   2-4 or 3- (from the third to the record's last) or -2 (the first two),
   printed in the order it gives them, and with -H by the names in each
   input's first record. A record ends at an LF outside quotes, so a quoted
   cell may hold line breaks; a CR before that LF belongs to the ending. A
   UTF-8 byte-order mark at the start of an input is not content.

   By default a field's TAB, LF, CR and backslash are written \t, \n, \r
   and \\, so that every output line is one record; with --csv the output
   is CSV, a field quoted where it must be. A record without a chosen field
   prints it empty.

   Each field prints whole, however long, as the files' other readers read
   it (RFC 4180): a quoted field without its outer quotes, and a doubled
   quote inside it as one. A field those readers would not take (a quote
   inside an unquoted field, text after a closing quote) prints by the
   splitting rule, every quote dropped, and is reported.

   A record may take up to MAX_RECORD bytes. A longer record is reported,
   ended at its first line break, and the rest read on; a physical line
   longer than that prints the fields in its first MAX_RECORD bytes.
   Messages name the input and the physical line, counted from 1, where
   the record began. Every problem makes the exit status 1 once the inputs
   are done; a wrong command line makes it 2.

   With -j N (by default, as many as the processors it may run on) the
   library's reader indexes an input on N threads; the output, messages
   and status are those of -j 1 for every input. --ranges N prints byte
   ranges of a file that begin at record starts, and --range START-END
   cuts the records that begin in one of them, so that other programs can
   spread a file over processes or hosts. */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

/* Writes what is left, says a write error and frees the run. Returns the
   exit status: 2 when the list, read against a header, was malformed, 1
   after any other problem. */
static int finish(struct run *run)
{
    struct cut *cut = &run->cut;
    cut_flush(cut);
    if (fflush(stdout) != 0 && cut->write_error == 0)
        cut->write_error = errno;
    if (cut->write_error != 0)
        fprintf(stderr, "%s: write error: %s\n", program, strerror(cut->write_error));
    cut_close(cut);
    free_header(&run->names);
    free(run->list.ranges);
    if (run->usage_error)
        return 2;
    return run->failed || cut->write_error != 0 || cut->problems > 0;
}

int main(int argc, char **argv)
{
    static struct run run;
    struct settings settings;
    const int status = read_options(argc, argv, &settings, &run.list);

    if (status >= 0)
        return status;
    if (settings.ranges > 0)
        return print_ranges(settings.files[0], settings.ranges) != 0;
    if (cut_open(&run.cut, &run.list, OUT_SIZE) != 0) {
        fprintf(stderr, "%s: out of memory\n", program);
        return 1;
    }
    cut_inputs(&run, &settings);
    return finish(&run);
}
