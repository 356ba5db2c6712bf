/* csv_cut -f LIST [-j N] [FILE]: prints the chosen fields of every record of
   a comma-separated file (standard input when no file, or "-", is given),
   one record a line, separated by a tab.

   LIST names fields by number, counted from 1, as in 1,6 or 2-4 or 3- (from
   the third to the record's last) or -2 (the first two), printed in the
   order it gives them. A record ends at an LF outside quotes, so a quoted
   cell may hold line breaks; a CR before that LF belongs to the ending. In
   the output a field's TAB, LF, CR and backslash are written \t, \n, \r and
   \\, so that every output line is one record and the output can be read
   back. A record without a chosen field prints it empty.

   Each field prints whole, however long, as the files' other readers read
   it (RFC 4180): a quoted field without its outer quotes, and a doubled
   quote inside it as one. A field those readers would not take (a quote
   inside an unquoted field, text after a closing quote) prints by the
   splitting rule, every quote dropped, and is reported.

   A record may take up to MAX_RECORD bytes. A longer record is reported,
   ended at its first line break, and the rest read on; a physical line
   longer than that prints the fields in its first MAX_RECORD bytes.
   Messages name the physical line, counted from 1, where the record began.
   Every problem makes the exit status non-zero once the input is done.

   With -j N (by default, as many as the processors it may run on) the
   input is cut on N threads (see parallel.c); the output, messages and
   status are those of -j 1 for every input. --ranges N prints byte ranges
   of a file that begin at record starts, and --range START-END cuts the
   records that begin in one of them, so that other programs can spread a
   file over processes or hosts. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cut.h"

enum { PART_SIZE = 1 << 19 };   /* a thread's part: 512 KB, kept in its core's cache */
enum { FILE_REACH = 1 << 20 };  /* read past a part from a file, as its last record needs */
enum { PIPE_REACH = 1 << 16 };  /* read past a part from a pipe, always (it is copied) */
enum { MAX_THREADS = 256 };

static void usage(void)
{
    fprintf(stderr,
            "usage: %s -f LIST [-j N] [FILE]\n"
            "       %s --ranges N FILE\n"
            "       %s --range START-END -f LIST FILE\n"
            "Prints fields of each record, tab-separated; a field's tab, LF, CR and\n"
            "backslash are written \\t, \\n, \\r and \\\\. LIST: 1,6  2-4  3-  -2\n",
            program, program, program);
}

/* A whole number from `low` to `high` spelt by the whole of text, or -1. */
static long long whole_number(const char *text, long long low, long long high)
{
    char *end;
    long long n;
    if (*text < '0' || *text > '9')
        return -1;
    errno = 0;
    n = strtoll(text, &end, 10);
    return errno == 0 && *end == '\0' && n >= low && n <= high ? n : -1;
}

/* The processors this process may run on. */
static int processors(void)
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return 1;
}

/* A size from the environment, for tests that force small parts. */
static size_t size_from(const char *name, size_t otherwise)
{
    const char *text = getenv(name);
    const long long n = text != NULL ? whole_number(text, 1, MAX_RECORD / 4) : -1;
    return n > 0 ? (size_t)n : otherwise;
}

/* Prints the records that begin in [start, end) of the file, counting
   the lines before them so that messages name the file's lines. */
static int cut_range(struct cut *cut, int fd, const char *name, long long start, long long end)
{
    struct source source = {fd, name, NULL, 0, 0, 0};
    cut->line = 1;
    if (lines_between(fd, 0, start, &cut->line) != 0 || lseek(fd, (off_t)start, SEEK_SET) < 0) {
        say(cut, "%s: %s", name, errno != 0 ? strerror(errno) : "the range starts past the end of the file");
        return -1;
    }
    return cut_input(cut, &source, start, end);
}

int main(int argc, char **argv)
{
    static const struct option options[] = {
        {"fields", required_argument, NULL, 'f'},
        {"jobs", required_argument, NULL, 'j'},
        {"ranges", required_argument, NULL, 'R'},
        {"range", required_argument, NULL, 'r'},
        {NULL, 0, NULL, 0},
    };
    static struct list list;
    struct cut cut;
    struct plan plan = {0, 0, 0};
    const char *fields = NULL, *name = "standard input";
    long long ranges = 0, range_start = -1, range_end = -1;
    int fd = STDIN_FILENO, failed, opt;

    while ((opt = getopt_long(argc, argv, "f:j:", options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            fields = optarg;
            break;
        case 'j':
            plan.threads = (int)whole_number(optarg, 1, MAX_THREADS);
            if (plan.threads < 1) {
                fprintf(stderr, "%s: bad thread count '%s': give 1 to %d\n", program, optarg, MAX_THREADS);
                return 2;
            }
            break;
        case 'R':
            ranges = whole_number(optarg, 1, 1 << 20);
            if (ranges < 1) {
                fprintf(stderr, "%s: bad range count '%s': give 1 to %d\n", program, optarg, 1 << 20);
                return 2;
            }
            break;
        case 'r': {
            const char *dash = strchr(optarg, '-');
            char start[32];
            if (dash != NULL && (size_t)(dash - optarg) < sizeof start) {
                memcpy(start, optarg, (size_t)(dash - optarg));
                start[dash - optarg] = '\0';
                range_start = whole_number(start, 0, LLONG_MAX);
                range_end = whole_number(dash + 1, 0, LLONG_MAX);
            }
            if (range_start < 0 || range_end < range_start) {
                fprintf(stderr, "%s: bad range '%s': give START-END as --ranges prints them\n", program, optarg);
                return 2;
            }
            break;
        }
        default:
            usage();
            return 2;
        }
    }
    if ((fields == NULL) == (ranges == 0) || argc - optind > 1 || (ranges > 0 && argc - optind != 1) ||
        (range_start >= 0 && argc - optind != 1)) {
        usage();
        return 2;
    }
    if (fields != NULL && parse_list(&list, fields) != 0)
        return 2;
    if (optind < argc && strcmp(argv[optind], "-") != 0) {
        name = argv[optind];
        fd = open(name, O_RDONLY);
        if (fd < 0) {
            fprintf(stderr, "%s: %s: %s\n", program, name, strerror(errno));
            return 1;
        }
    }
    if (ranges > 0)
        return print_ranges(fd, name, ranges) != 0;

    if (cut_open(&cut, &list, OUT_SIZE, 0) != 0) {
        fprintf(stderr, "%s: out of memory\n", program);
        return 1;
    }
    cut.line = 1;
    if (plan.threads == 0)
        plan.threads = processors() < MAX_THREADS ? processors() : MAX_THREADS;
    if (range_start >= 0) {
        failed = cut_range(&cut, fd, name, range_start, range_end);
    } else if (plan.threads > 1) {
        struct stat status;
        const int from_file = fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
        plan.part = size_from("CSV_CUT_PART_SIZE", PART_SIZE);
        plan.reach = size_from("CSV_CUT_REACH", from_file ? FILE_REACH : PIPE_REACH);
        failed = cut_parallel(&cut, &plan, fd, name);
    } else {
        struct source source = {fd, name, NULL, 0, 0, 0};
        failed = cut_input(&cut, &source, 0, -1);
    }
    cut_flush(&cut);
    if (fflush(stdout) != 0 && cut.write_error == 0)
        cut.write_error = errno;
    if (cut.write_error != 0)
        fprintf(stderr, "%s: write error: %s\n", program, strerror(cut.write_error));
    failed = failed || cut.write_error != 0 || cut.problems > 0;
    cut_close(&cut);
    free(list.ranges);
    return failed;
}
