/* csv_cut's parts, one job to a file:
     main.c     the driver: the options, then the inputs one by one
     options.c  the command line
     list.c     the field list, and a header's names
     inputs.c   each input read through the library's reader, its header
                taken, its records handed to the printer
     threads.c  printers for the reader's threads, one batch each
     output.c   a printer's output and messages, and the turns in which
                printers on several threads write them
     record.c   a record's chosen fields into the output, its problems said
     escape.c   a field written escaped, or as CSV
     ranges.c   --ranges, and the records of one --range */
#ifndef CSV_CUT_CUT_H
#define CSV_CUT_CUT_H

#include <stddef.h>
#include <pthread.h>

#include "csv_line.h"

enum { MAX_FIELD = 4096 };      /* the highest field number a list may name */
enum { MAX_RECORD = CSV_LINE_DEFAULT_RECORD_LIMIT }; /* a record's limit */
enum { OUT_SIZE = 1 << 16 };                    /* output gathered before it is written */
enum { MAX_THREADS = 256 };

/* For the steps of the loop over a record's fields, which the compiler
   would otherwise call from more than one place. */
#if defined(__GNUC__)
#define ALWAYS_INLINE inline __attribute__((always_inline))
#else
#define ALWAYS_INLINE inline
#endif

extern const char *program;

/* One item of the list: fields first to last, counted from 0; last is -1
   for an open range, which runs to the record's last field. */
struct range {
    int first, last;
};

/* The fields to print and how, shared by every thread and never changed
   while they run. */
struct list {
    struct range *ranges;
    int count; /* ranges in the list */
    int open;  /* the list has an open range */
    int complement;        /* print every field but the listed ones, in the record's order */
    unsigned char chosen[MAX_FIELD]; /* with complement: 1 for a listed field */
    char separator;        /* between the input's fields */
    char out_separator;    /* between the output's fields */
    int csv;               /* write CSV, quoted where needed, instead of escaping */
};

/* A header's names, as RFC 4180 readers read them: names[k] is field k's,
   a string of lengths[k] bytes, where the reader's batch holds it. */
struct header {
    const char **names;
    size_t *lengths;
    int count;
};

/* What the command line asks for. */
struct settings {
    const char *fields; /* the list as given, read again against each header */
    int header, names_only;
    int guess_separator; /* -d auto */
    int threads;
    long long ranges, range_start, range_end; /* range_start -1: no --range */
    char **files;
    int file_count;
};

/* The turns in which printers on several threads write their batches'
   output: in the batches' order. */
struct order {
    pthread_mutex_t lock;
    pthread_cond_t moved; /* a turn passed */
    long long turn;       /* the batch whose output goes now */
    int problems;         /* said by the printers so far */
    int write_error;      /* errno of the first failed write, or 0 */
};

/* Prints the chosen fields of records, gathering its output, and says
   what was wrong with them. */
struct cut {
    const struct list *list;
    const char *name;         /* the input's, in messages */
    const csv_line_batch *batch;   /* the reader's batch that holds the record */
    int first_field;          /* the record's first field in the batch */
    const csv_line_field *fields;  /* the record's: batch->fields + first_field */
    long long line;           /* the record's physical line, in messages */
    int problems;             /* said so far */
    const char *readable;     /* words may be read up to here: the end of the record's last field */
    char *out;                /* 2 * out_limit + 8 bytes: escaped, a byte takes two */
    size_t used, out_limit;
    int write_error;          /* errno of the first failed write, or 0 */
    /* On a thread: the turns it writes in, its batch's, whether that has
       come, and the messages held until it does. */
    struct order *order;
    long long turn;
    int holds_turn;
    char *said;
    size_t said_used, said_size;
};

/* What the inputs have left so far. */
struct run {
    struct cut cut;
    struct list list;
    struct header names;
    int header_printed;
    int failed; /* an input could not be read through */
    int usage_error;
};

/* options.c */

/* Reads the command line into settings and list. Returns -1 when the
   inputs are to be read, else the status to exit with: after --help or
   --version, or after saying what is wrong with the command line. */
int read_options(int argc, char **argv, struct settings *settings, struct list *list);

/* list.c */

/* Reads LIST into list->ranges: field numbers and ranges of them, and,
   given a header, names in it. `where` names the input whose header it
   is. Returns 0, -1 after saying the list is malformed or names a field
   without a header (the command line is wrong), or -2 after saying a
   name is not in the header. */
int parse_list(struct list *list, const char *text, const struct header *header, const char *where);
/* Whether field k of a record of n fields is printed. */
int list_prints(const struct list *list, int k, int n);
/* Takes the names of a header, the batch's record; they stay the
   batch's. Returns 0, or -1 out of memory. */
int read_header(struct header *header, const csv_line_batch *batch, const csv_line_record *record);
void free_header(struct header *header);

/* inputs.c */

/* Cuts every input the settings name, in order, standard input when none. */
void cut_inputs(struct run *run, const struct settings *settings);
/* Prints the records the reader hands over that begin in [from, stop)
   (every one from `from` on when stop < 0), their offsets counted from
   `base` and their lines from `first_line`; with a header, the first
   record is the names. Returns 0, or -1 when the input could not be read
   through (said). */
int cut_records(struct run *run, const struct settings *settings, csv_line_reader *reader, long long base,
                long long first_line, long long stop, long long from, int header);
/* The first record of an input with a header: its names read, the fields
   chosen by them, and the chosen names printed once. Returns 0, or -1 when
   this input is not to be cut (said, or the names printed). */
int take_header(struct run *run, const struct settings *settings, const csv_line_batch *batch);
/* Says why the reader stopped. */
void say_error(struct cut *cut, const csv_line_reader *reader);

/* threads.c */

/* Prints the reader's batches from the one of sequence next_turn on, on
   the reader's threads, each by a printer of its own, written in input
   order. Returns what csv_line_reader_for_each returns. */
int cut_on_threads(struct cut *cut, csv_line_reader *reader, long long next_turn);

/* output.c */

/* Sets up a printer whose output is written once more than out_limit
   bytes are gathered. Returns 0, or -1 out of memory. */
int cut_open(struct cut *cut, const struct list *list, size_t out_limit);
void cut_close(struct cut *cut);
/* Writes the output gathered (on a thread, once its turn has come). */
void cut_flush(struct cut *cut);
/* On a thread: writes the rest of its batch's output in its turn, and
   passes the turn on with its problems. */
void end_turn(struct cut *cut);
/* Says one line on standard error, "csv_cut: " first; on a thread, once
   the batches before have been written. */
void say(struct cut *cut, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Writes what is gathered once it is more than out_limit bytes: there is
   always room for out_limit bytes more and 8 to spare, in 2 * out_limit + 8. */
static inline void flush_full(struct cut *cut)
{
    if (cut->used > cut->out_limit)
        cut_flush(cut);
}

static inline void put_byte(struct cut *cut, char c)
{
    flush_full(cut);
    cut->out[cut->used++] = c;
}

/* record.c */

/* Says the problems a lenient reader flagged on a record of the batch,
   prints its chosen fields and says each field that is not well formed,
   printed or not. */
void cut_record(struct cut *cut, const csv_line_batch *batch, const csv_line_record *record);

/* escape.c */

/* Appends the n bytes at p, TAB, LF, CR and backslash escaped. */
void put_escaped(struct cut *cut, const char *p, size_t n);
/* Appends the bytes of [p, end) but its quotes, escaped; with `doubled`
   (every quote there is one of a pair), each pair as one quote. */
void put_unquoted(struct cut *cut, const char *p, const char *end, int doubled);
/* Appends the n bytes at p as they are. */
void put_plain(struct cut *cut, const char *p, size_t n);
/* Appends field k of the record as CSV; returns -1 for a malformed
   field, else 0. */
int put_csv_field(struct cut *cut, int k);

/* Appends a field found in `text`, escaped, as RFC 4180 readers read it
   where it is well formed for them, else by the splitting rule; returns
   0, or -1 for a field of the second kind. */
static ALWAYS_INLINE int put_field(struct cut *cut, const char *text, const csv_line_field *field)
{
    const char *raw = text + field->start;
    if (field->quotes == 0) {
        put_escaped(cut, raw, (size_t)field->length);
        return 0;
    }
    if (csv_line_field_quoted_whole(text, field)) {
        put_escaped(cut, raw + 1, (size_t)field->length - 2);
        return 0;
    }
    if (csv_line_field_value(text, field, NULL, 0) >= 0) {
        put_unquoted(cut, raw + 1, raw + field->length - 1, 1);
        return 0;
    }
    put_unquoted(cut, raw, raw + field->length, 0);
    return -1;
}

/* ranges.c */

/* Prints n lines "START END" of byte ranges that cover the file at path
   ("-": standard input), each beginning at a record start. Returns 0 or
   -1, said. */
int print_ranges(const char *path, long long n);
/* Prints the records of the open file fd that begin in the settings'
   range, its header (with -H) first. Returns 0, or -1 when the file could
   not be read through (said). */
int cut_range(struct run *run, const struct settings *settings, int fd, csv_line_reader_options *options);

#endif
