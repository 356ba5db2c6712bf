/* csv_cut's parts: how fields are chosen and printed (print.c), the byte
   ranges of a file (ranges.c), and the command line and the inputs, read
   by the library's reader (main.c). */
#ifndef CSV_CUT_CUT_H
#define CSV_CUT_CUT_H

#include <stddef.h>
#include <pthread.h>
#include <sys/types.h>

#include "csv_line.h"

enum { MAX_FIELD = 4096 };      /* the highest field number a list may name */
enum { MAX_RECORD = CSV_LINE_DEFAULT_RECORD_LIMIT }; /* a record's limit */
enum { OUT_SIZE = 1 << 16 };                    /* output gathered before it is written */

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
    int rows;  /* the table's entries: the highest field needed + 1 */
    int open;  /* the list has an open range */
    int complement;        /* print every field but the listed ones, in the record's order */
    unsigned char *chosen; /* with complement: MAX_FIELD entries, 1 for a listed field */
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

/* Reads LIST into list->ranges: field numbers and ranges of them, and,
   given a header, names in it. `where` names the input whose header it
   is. Returns 0, -1 after saying the list is malformed or names a field
   without a header (the command line is wrong), or -2 after saying a
   name is not in the header. */
int parse_list(struct list *list, const char *text, const struct header *header, const char *where);
/* Takes the names of a header, the batch's record; they stay the
   batch's. Returns 0, or -1 out of memory. */
int read_header(struct header *header, const csv_line_batch *batch, const csv_line_record *record);
void free_header(struct header *header);

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
    int problems;             /* records not printed as read, so far */
    const char *readable;     /* words may be read up to here: the batch's last byte */
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

/* Sets up a printer whose output is written once more than out_limit
   bytes are gathered. Returns 0, or -1 out of memory. */
int cut_open(struct cut *cut, const struct list *list, size_t out_limit);
void cut_close(struct cut *cut);

/* Writes the output gathered (on a thread, once its turn has come). */
void cut_flush(struct cut *cut);

/* On a thread: writes the rest of its batch's output in its turn, and
   passes the turn on with its problems. */
void end_turn(struct cut *cut);

/* Says one line on standard error, "csv_cut: " first. */
void say(struct cut *cut, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Prints the chosen fields of a record of n fields (cut->fields) that
   lies in `text` (the fields' starts count from there), and says each
   field that is not well formed. */
void print_record(struct cut *cut, const char *text, int n);

/* Says the problems a lenient reader flagged on a record of the batch
   that print_record does not say, and prints the record. */
void cut_record(struct cut *cut, const csv_line_batch *batch, const csv_line_record *record);

/* Reads n bytes at offset into buffer, however many reads it takes;
   returns how many it read, fewer at the end of the file (errno 0) or on
   an error (errno set). */
size_t read_at(int fd, char *buffer, size_t n, long long offset);

/* Adds the LFs of the file's bytes [from, to) to *line. Returns 0, or -1
   with errno set (0 when the file ends first). */
int lines_between(int fd, long long from, long long to, long long *line);

/* Prints N lines "START END" of byte ranges that cover the file, each
   beginning at a record start. Returns 0 or -1, said. */
int print_ranges(int fd, const char *name, long long ranges);

#endif
