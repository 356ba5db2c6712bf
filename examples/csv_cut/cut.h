/* csv_cut's parts: how fields are chosen and printed (print.c), the reader
   that takes records one after another (read.c), the readers on several
   threads (parallel.c), and the command line (main.c). */
#ifndef CSV_CUT_CUT_H
#define CSV_CUT_CUT_H

#include <stddef.h>
#include <sys/types.h>

#include "csv_line.h"

enum { MAX_FIELD = 4096 };      /* the highest field number a list may name */
enum { MAX_RECORD = 16 << 20 }; /* the most bytes of input held at once: a record's limit */
enum { OUT_SIZE = 1 << 16 };    /* output gathered before it is written, by one thread */

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
   a string of lengths[k] bytes. */
struct header {
    char **names;
    size_t *lengths;
    int count;
};

/* Reads LIST into list->ranges: field numbers and ranges of them, and,
   given a header, names in it. `where` names the input whose header it
   is. Returns 0, -1 after saying the list is malformed or names a field
   without a header (the command line is wrong), or -2 after saying a
   name is not in the header. */
int parse_list(struct list *list, const char *text, const struct header *header, const char *where);
int read_header(struct header *header, const char *record, const csv_field *fields, int count);
void free_header(struct header *header);

struct order; /* the turns of threads that write one output (parallel.c) */

/* One reader of records: its table of positions, where it stands in the
   input's lines, and its output and messages gathered. A reader on a
   thread of its own (order not null) writes them when its turn comes. */
struct cut {
    const struct list *list;
    const char *name;     /* the input's, in messages */
    csv_field *fields;
    /* Physical lines: the line number of the byte at `counted` in the
       buffer, whose earlier bytes have been counted. */
    long long line;
    size_t counted;
    int problems;          /* records not printed as read, so far */
    const char *readable;  /* the end of the input held: words may be read up to it */
    char *out;             /* 2 * out_limit + 8 bytes: escaped, a byte takes two */
    size_t used, out_limit;
    char *said;            /* messages gathered, SAID_SIZE bytes; null: written at once */
    size_t said_used;
    int write_error;       /* errno of the first failed write, or 0 */
    struct order *order;   /* null on one thread */
    long long turn;        /* this reader's place in the output */
    int holds_turn;        /* the turn has come: output goes straight out */
    int dropped;           /* a reader before this one stopped the run: nothing more is written */
};

enum { SAID_SIZE = 1 << 16 };

/* Sets up a reader (its table takes every field a list may name) whose output is written once more than out_limit bytes
   are gathered, its messages gathered too when `gather`. Returns 0, or -1
   out of memory. */
int cut_open(struct cut *cut, const struct list *list, size_t out_limit, int gather);
void cut_close(struct cut *cut);

/* On a thread: waits until the reader's turn comes (holds_turn), or until
   a reader before it stops the run (dropped). */
void wait_turn(struct cut *cut);

/* Writes what is gathered, output and messages; on another thread's turn,
   waits for this reader's first. */
void cut_flush(struct cut *cut);

/* Says one line on standard error, "csv_cut: " first, in the order of the
   input whatever thread says it. */
void say(struct cut *cut, const char *format, ...) __attribute__((format(printf, 2, 3)));

/* Counts the LF bytes of [p, p + n). */
long long count_lines(const char *p, size_t n);

/* The physical line at offset `at` of the buffer, at or after the last one
   asked for. */
long long line_at(struct cut *cut, const char *buffer, size_t at);

/* Prints every record of buffer[at, held) that begins before `last` and
   ends in an LF and, with at_end (the end of the input), the rest as the
   last; returns where the first record not printed begins. */
size_t cut_records(struct cut *cut, const char *buffer, size_t at, size_t held, size_t last, int at_end);

/* Prints the chosen fields of the record at `at`, whose n fields are in
   cut->fields. */
void print_record(struct cut *cut, const char *buffer, size_t at, int n);

/* Prints the record at `at` that ends at the buffer's first LF from there:
   one over MAX_RECORD, cut short where it most likely went wrong. Returns
   the offset after that LF, or 0 when the buffer has none. */
size_t print_first_line(struct cut *cut, const char *buffer, size_t at, size_t held);

/* Where a reader takes its bytes from: pieces already held in memory, in
   order, then the file. */
struct piece {
    const char *at;
    size_t size;
    void *owned; /* freed once the piece is read, or null */
};

struct source {
    int fd;
    const char *name;
    struct piece *pieces;
    int count; /* pieces */
    int next;  /* the piece read from now */
    size_t taken; /* of it */
};

/* Reads up to n bytes from the source; as read(2). A piece's memory is
   freed once it is read. */
ssize_t source_read(struct source *source, char *buffer, size_t n);

/* Reads the source, which begins at a record start, `offset` bytes into the
   input, and prints its records, up to the last that begins before `stop`
   (or every one, when stop < 0). Returns 0, or -1 after a read error or out
   of memory, said. */
int cut_input(struct cut *cut, struct source *source, long long offset, long long stop);

/* Reads n bytes at offset into buffer, however many reads it takes;
   returns how many it read, fewer at the end of the file (errno 0) or on
   an error (errno set). */
size_t read_at(int fd, char *buffer, size_t n, long long offset);

/* Adds the LFs of the file's bytes [from, to) to *line. Returns 0, or -1
   with errno set (0 when the file ends first). */
int lines_between(int fd, long long from, long long to, long long *line);

/* An input's first bytes, read before its records: a UTF-8 byte-order
   mark, which is no content, and the header, whose fields are left in
   cut->fields. */
struct start {
    char *bytes;
    size_t held;    /* bytes read */
    size_t header;  /* where the header begins: after the mark */
    size_t body;    /* where the records after the mark and the header begin */
    int fields;     /* the header's fields, or -1 without one */
    long long lines; /* LFs before body */
};

/* Reads the start of the input (at least 3 bytes, or to its end) and,
   with `header`, its first record. Returns 0, or -1 after a read error,
   a header over MAX_RECORD or out of memory, said. */
int read_start(struct cut *cut, int fd, int header, struct start *start);

/* How a run goes on several threads. */
struct plan {
    int threads;
    size_t part;  /* bytes a thread summarises and splits at a time */
    size_t reach; /* bytes past its part it may read to finish its last record */
};

/* Prints the records of the input on plan->threads threads, the output
   and messages as one thread gives them. The input holds at most one
   piece, bytes read before from a pipe, which come first. `cut`, a reader
   on one thread, goes on where a thread hands the rest of the input over,
   and gets every thread's problems and write error. Returns 0, or -1 after a read error
   or out of memory, said. */
int cut_parallel(struct cut *cut, const struct plan *plan, struct source *input);

/* Prints N lines "START END" of byte ranges that cover the file, each
   beginning at a record start. Returns 0 or -1, said. */
int print_ranges(int fd, const char *name, long long ranges);

#endif
