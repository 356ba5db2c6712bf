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
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <pthread.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cut.h"

enum { MAX_THREADS = 256 };

static void usage(void)
{
    printf(
            "Usage: %s -f LIST [OPTION]... [FILE]...\n"
            "  or:  %s -n [FILE]\n"
            "  or:  %s --ranges N FILE\n"
            "Print the chosen fields of each CSV record of each FILE, tab-separated.\n"
            "With no FILE, or when FILE is -, read standard input.\n"
            "\n"
            "  -f, --fields=LIST          the fields to print, in this order: numbers from 1,\n"
            "                             ranges (2-4, 3-, -2) and, with -H, names\n"
            "  -d, --delimiter=CHAR       the input's separator instead of a comma\n"
            "                             (\\t or tab for TAB)\n"
            "  -H, --header               the first record of each input holds names;\n"
            "                             the output starts with the chosen names\n"
            "  -n, --names                print the header's names with their numbers\n"
            "      --complement           print every field but the listed ones\n"
            "      --csv                  write CSV, quoting fields that need it, instead\n"
            "                             of escaping TAB, LF, CR and \\ as \\t \\n \\r \\\\\n"
            "      --output-delimiter=CHAR  the output's separator (TAB, or with --csv\n"
            "                             the input's)\n"
            "  -j, --jobs=N               cut each input on N threads (default: one per\n"
            "                             processor); the output is the same\n"
            "      --ranges=N             print N byte ranges of FILE that begin at records\n"
            "      --range=START-END      print the records that begin in that byte range\n"
            "      --help                 print this help and exit\n"
            "      --version              print the version and exit\n"
            "\n"
            "A quoted field may hold separators, quotes (doubled) and line breaks.\n"
            "A UTF-8 byte-order mark at the start of an input is dropped.\n"
            "Exit status: 0 if every record was read cleanly, 1 if an input had a\n"
            "problem (said on standard error), 2 for a wrong command line.\n",
            program, program, program);
}

/* Says what is wrong with the command line, if message is not null, and
   where to look; returns its status. */
static int bad_usage(const char *message)
{
    if (message != NULL)
        fprintf(stderr, "%s: %s\n", program, message);
    fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return 2;
}

/* A separator named by text: one byte, or \t or tab for TAB. Returns it,
   or -1 after saying why not. */
static int separator_from(const char *text, const char *option)
{
    csv_line_field probe;
    int byte;
    if (strcmp(text, "\\t") == 0 || strcmp(text, "tab") == 0)
        return '\t';
    if (strlen(text) != 1) {
        fprintf(stderr, "%s: %s takes one byte, not '%s' (\\t or tab for TAB)\n", program, option, text);
        return -1;
    }
    byte = (unsigned char)text[0];
    if (parse_csv_fields("", 0, (char)byte, &probe, 1, NULL) < 0) { /* the library refuses it */
        fprintf(stderr, "%s: %s cannot be %s: it ends or quotes fields\n", program, option,
                byte == '"' ? "'\"' (the quote)" : byte == '\n' ? "LF" : "CR");
        return -1;
    }
    return byte;
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

/* What the command line asks for. */
struct settings {
    const char *fields; /* the list as given, read again against each header */
    int header, names_only;
    int threads;
    long long ranges, range_start, range_end;
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

/* Prints the header's names with their numbers. */
static void print_names(const struct header *names)
{
    for (int k = 0; k < names->count; k++) {
        printf("%d\t", k + 1);
        fwrite(names->names[k], 1, names->lengths[k], stdout);
        putchar('\n');
    }
}

/* Says why the reader stopped. */
static void say_error(struct cut *cut, const csv_line_reader *reader)
{
    const csv_line_error *error = csv_line_reader_error(reader);
    if (error->code == CSV_LINE_ERROR_IO)
        say(cut, "%s: %s", cut->name, strerror(error->system));
    else
        say(cut, "%s: %s", cut->name, error->message);
}

/* The first record of an input with a header: reads its names, chooses
   the fields by them and, for the first input with a header, prints the
   chosen names when the header begins in the range asked for (any, without
   one). Returns 0, or -1 when this input is not to be cut (said, or the
   names printed). */
static int take_header(struct run *run, const struct settings *settings, const csv_line_batch *batch)
{
    struct cut *cut = &run->cut;
    const csv_line_record *record = &batch->records[0];
    int listed;

    free_header(&run->names);
    if (read_header(&run->names, batch, record) != 0) {
        say(cut, "out of memory");
        return -1;
    }
    if (settings->names_only) {
        print_names(&run->names);
        return -1;
    }
    listed = parse_list(&run->list, settings->fields, &run->names, cut->name);
    if (listed != 0) {
        if (listed == -1)
            run->usage_error = 1;
        cut->problems++;
        return -1;
    }
    if (!run->header_printed && (settings->range_start < 0 || (settings->range_start <= record->offset &&
                                                                record->offset < settings->range_end))) {
        cut_record(cut, batch, record);
        run->header_printed = 1;
    }
    return 0;
}

/* Prints one record the reader handed over, its offset counted from
   `base` and its line from `first_line`. */
static void cut_one(struct cut *cut, const csv_line_batch *batch, int r, long long base, long long first_line)
{
    csv_line_record record = batch->records[r];
    record.offset += base;
    record.line += first_line - 1;
    cut_record(cut, batch, &record);
}

/* Printers for the reader's threads, each taken by one batch at a time. */
struct printers {
    const struct list *list;
    const char *name;
    struct order order;
    pthread_mutex_t lock;
    struct cut *free[MAX_THREADS + 1];
    int count;
    int failed; /* a printer could not be had */
};

/* for_each's callback: the batch's records printed by a printer of its
   own, written in the batch's turn. Returns 1 to stop after a write
   error. */
static int cut_batch(const csv_line_batch *batch, void *context)
{
    struct printers *printers = context;
    struct cut *cut = NULL;
    int stop;

    pthread_mutex_lock(&printers->lock);
    if (printers->count > 0)
        cut = printers->free[--printers->count];
    pthread_mutex_unlock(&printers->lock);
    if (cut == NULL && ((cut = malloc(sizeof *cut)) == NULL || cut_open(cut, printers->list, OUT_SIZE) != 0)) {
        free(cut);
        pthread_mutex_lock(&printers->lock);
        printers->failed = 1;
        pthread_mutex_unlock(&printers->lock);
        return 1;
    }
    cut->name = printers->name;
    cut->order = &printers->order;
    cut->turn = batch->sequence;
    for (int r = 0; r < batch->count && cut->write_error == 0; r++)
        cut_one(cut, batch, r, 0, 1);
    end_turn(cut);
    stop = cut->write_error != 0;
    cut->write_error = 0;
    pthread_mutex_lock(&printers->lock);
    printers->free[printers->count++] = cut;
    pthread_mutex_unlock(&printers->lock);
    return stop;
}

/* Prints the records after the first batch on the reader's threads, each
   batch by a printer of its own, written in input order. Returns what
   csv_line_reader_for_each returns. */
static int cut_on_threads(struct cut *cut, csv_line_reader *reader, long long next_turn)
{
    struct printers printers;
    int status;

    memset(&printers, 0, sizeof printers);
    printers.list = cut->list;
    printers.name = cut->name;
    printers.order.turn = next_turn;
    pthread_mutex_init(&printers.lock, NULL);
    pthread_mutex_init(&printers.order.lock, NULL);
    pthread_cond_init(&printers.order.moved, NULL);
    cut_flush(cut); /* what earlier inputs and the first batch left goes first */
    status = csv_line_reader_for_each(reader, cut_batch, &printers);
    cut->problems += printers.order.problems;
    if (cut->write_error == 0)
        cut->write_error = printers.order.write_error;
    if (printers.failed) {
        say(cut, "out of memory");
        cut->problems++;
    }
    for (int k = 0; k < printers.count; k++) {
        cut_close(printers.free[k]);
        free(printers.free[k]);
    }
    pthread_cond_destroy(&printers.order.moved);
    pthread_mutex_destroy(&printers.order.lock);
    pthread_mutex_destroy(&printers.lock);
    return status;
}

/* Prints the records the reader hands over that begin in [from, stop)
   (every one from `from` on when stop < 0), their offsets counted from
   `base` and their lines from `first_line`; with a header, the first
   record is the names.
   On several threads, the batches after the first are printed on the
   reader's threads. Returns 0, or -1 when the input could not be read
   through (said). */
static int cut_records(struct run *run, const struct settings *settings, csv_line_reader *reader, long long base,
                       long long first_line, long long stop, long long from, int header)
{
    struct cut *cut = &run->cut;
    csv_line_batch batch;
    int n = 0;
    while (cut->write_error == 0 && (n = csv_line_reader_next(reader, &batch)) > 0) {
        for (int r = 0; r < batch.count; r++) {
            if (stop >= 0 && base + batch.records[r].offset >= stop)
                return 0;
            if (base + batch.records[r].offset < from)
                continue;
            if (header) {
                header = 0;
                if (take_header(run, settings, &batch) != 0)
                    return 0;
                continue;
            }
            cut_one(cut, &batch, r, base, first_line);
        }
        if (stop < 0 && settings->threads > 1) {
            n = cut_on_threads(cut, reader, batch.sequence + 1);
            break;
        }
    }
    if (n < 0) {
        say_error(cut, reader);
        return -1;
    }
    return 0;
}

/* What a range's reader reads: an LF, then the file from where it stands.
   A reader drops a byte-order mark at its start, and the range's first
   record may begin with those bytes; after the LF it is no start. */
struct after_lf {
    int fd;
    int lf_given;
};

static long long read_after_lf(void *context, char *buffer, size_t size)
{
    struct after_lf *source = context;
    ssize_t got;

    if (!source->lf_given && size > 0) {
        source->lf_given = 1;
        buffer[0] = '\n';
        return 1;
    }
    while ((got = read(source->fd, buffer, size)) < 0 && errno == EINTR)
        continue;
    return got;
}

/* Prints the records that begin in [range_start, range_end) of the file:
   its header (and mark) read first from its start, then its lines before
   the range counted, so that messages name the file's lines. */
static int cut_range(struct run *run, const struct settings *settings, int fd, csv_line_reader_options *options)
{
    struct cut *cut = &run->cut;
    csv_line_batch batch;
    long long body = -1, start, line = 1;
    struct after_lf source = {fd, 0};
    csv_line_reader *reader = csv_line_reader_open_fd(fd, options);
    int n = 0, failed = 0;

    if (reader == NULL) {
        say(cut, "out of memory");
        return -1;
    }
    /* Where the records after the mark and the header begin. */
    while (body < 0 && (n = csv_line_reader_next(reader, &batch)) > 0) {
        int r = 0;
        if (settings->header && batch.sequence == 0) {
            if (take_header(run, settings, &batch) != 0) {
                csv_line_reader_close(reader);
                return 0;
            }
            r = 1;
        }
        if (r < batch.count)
            body = batch.records[r].offset;
    }
    if (n < 0) {
        say_error(cut, reader);
        csv_line_reader_close(reader);
        return -1;
    }
    csv_line_reader_close(reader);
    if (body < 0)
        return 0; /* no record after the header */
    start = settings->range_start > body ? settings->range_start : body;
    if (lines_between(fd, 0, start, &line) != 0 || lseek(fd, (off_t)start, SEEK_SET) < 0) {
        say(cut, "%s: %s", cut->name, errno != 0 ? strerror(errno) : "the range starts past the end of the file");
        return -1;
    }
    options->header = 0;
    reader = csv_line_reader_open_read(read_after_lf, &source, options);
    if (reader == NULL) {
        say(cut, "out of memory");
        return -1;
    }
    /* The LF's blank line comes first, and is no record of the range. */
    failed = cut_records(run, settings, reader, start - 1, line - 1, settings->range_end, start, 0);
    csv_line_reader_close(reader);
    return failed;
}

/* Cuts the input `name` ("-": standard input). */
static void cut_file(struct run *run, const struct settings *settings, const char *name)
{
    struct cut *cut = &run->cut;
    const int from_stdin = strcmp(name, "-") == 0;
    const int fd = from_stdin ? STDIN_FILENO : open(name, O_RDONLY);
    /* Lenient: every problem is flagged on its record, and said here. */
    csv_line_reader_options options = {run->list.separator, 0, MAX_RECORD, settings->threads, 1};

    cut->name = from_stdin ? "standard input" : name;
    if (fd < 0) {
        say(cut, "%s: %s", name, strerror(errno));
        run->failed = 1;
        return;
    }
    if (settings->range_start >= 0) {
        options.threads = 1;
        /* A range's records lie past the file's start, which holds the mark
           and the header. */
        if (lseek(fd, 0, SEEK_SET) != 0) {
            say(cut, "%s: %s", cut->name, strerror(errno));
            run->failed = 1;
        } else {
            run->failed |= cut_range(run, settings, fd, &options) != 0;
        }
    } else {
        csv_line_reader *reader = csv_line_reader_open_fd(fd, &options);
        if (reader == NULL) {
            say(cut, "out of memory");
            run->failed = 1;
        } else {
            run->failed |= cut_records(run, settings, reader, 0, 1, -1, 0, settings->header) != 0;
            csv_line_reader_close(reader);
        }
    }
    if (!from_stdin)
        close(fd);
}

int main(int argc, char **argv)
{
    enum { COMPLEMENT = 256, CSV, OUTPUT_DELIMITER, RANGES, RANGE, HELP, VERSION };
    static const struct option options[] = {
        {"fields", required_argument, NULL, 'f'},
        {"delimiter", required_argument, NULL, 'd'},
        {"header", no_argument, NULL, 'H'},
        {"names", no_argument, NULL, 'n'},
        {"complement", no_argument, NULL, COMPLEMENT},
        {"csv", no_argument, NULL, CSV},
        {"output-delimiter", required_argument, NULL, OUTPUT_DELIMITER},
        {"jobs", required_argument, NULL, 'j'},
        {"ranges", required_argument, NULL, RANGES},
        {"range", required_argument, NULL, RANGE},
        {"help", no_argument, NULL, HELP},
        {"version", no_argument, NULL, VERSION},
        {NULL, 0, NULL, 0},
    };
    static struct run run;
    static unsigned char chosen[MAX_FIELD];
    struct settings settings = {NULL, 0, 0, 0, 0, -1, -1};
    int out_separator = -1, opt;

    run.list.separator = ',';
    run.list.chosen = chosen;
    while ((opt = getopt_long(argc, argv, "f:d:Hnj:", options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            settings.fields = optarg;
            break;
        case 'd': {
            const int separator = separator_from(optarg, "the delimiter");
            if (separator < 0)
                return bad_usage(NULL);
            run.list.separator = (char)separator;
            break;
        }
        case 'H':
            settings.header = 1;
            break;
        case 'n':
            settings.header = settings.names_only = 1;
            break;
        case COMPLEMENT:
            run.list.complement = 1;
            break;
        case CSV:
            run.list.csv = 1;
            break;
        case OUTPUT_DELIMITER:
            if ((out_separator = separator_from(optarg, "the output delimiter")) < 0)
                return bad_usage(NULL);
            break;
        case 'j':
            settings.threads = (int)whole_number(optarg, 1, MAX_THREADS);
            if (settings.threads < 1) {
                fprintf(stderr, "%s: bad thread count '%s': give 1 to %d\n", program, optarg, MAX_THREADS);
                return bad_usage(NULL);
            }
            break;
        case RANGES:
            settings.ranges = whole_number(optarg, 1, 1 << 20);
            if (settings.ranges < 1) {
                fprintf(stderr, "%s: bad range count '%s': give 1 to %d\n", program, optarg, 1 << 20);
                return bad_usage(NULL);
            }
            break;
        case RANGE: {
            const char *dash = strchr(optarg, '-');
            char first[32];
            if (dash != NULL && (size_t)(dash - optarg) < sizeof first) {
                memcpy(first, optarg, (size_t)(dash - optarg));
                first[dash - optarg] = '\0';
                settings.range_start = whole_number(first, 0, LLONG_MAX);
                settings.range_end = whole_number(dash + 1, 0, LLONG_MAX);
            }
            if (settings.range_start < 0 || settings.range_end < settings.range_start) {
                fprintf(stderr, "%s: bad range '%s': give START-END as --ranges prints them\n", program, optarg);
                return bad_usage(NULL);
            }
            break;
        }
        case HELP:
            usage();
            return fflush(stdout) != 0 || ferror(stdout) ? 1 : 0;
        case VERSION:
            printf("%s (csv_line) %s\n", program, CSV_LINE_VERSION);
            return fflush(stdout) != 0 || ferror(stdout) ? 1 : 0;
        default:
            return bad_usage(NULL);
        }
    }
    run.list.out_separator = out_separator >= 0 ? (char)out_separator : run.list.csv ? run.list.separator : '\t';
    if (settings.ranges > 0 || settings.range_start >= 0) {
        if (argc - optind != 1)
            return bad_usage("--ranges and --range take one FILE");
        if (settings.ranges > 0 && (settings.fields != NULL || settings.header))
            return bad_usage("--ranges prints byte ranges: it takes no field list or header");
    }
    if (settings.fields == NULL && settings.ranges == 0 && !settings.names_only)
        return bad_usage("give the fields to print with -f LIST");
    if (settings.names_only && settings.fields != NULL)
        return bad_usage("-n lists the names: it takes no field list");
    if (settings.fields != NULL && !settings.header && parse_list(&run.list, settings.fields, NULL, NULL) != 0)
        return bad_usage(NULL);

    if (settings.ranges > 0) {
        const int fd = strcmp(argv[optind], "-") == 0 ? STDIN_FILENO : open(argv[optind], O_RDONLY);
        if (fd < 0) {
            fprintf(stderr, "%s: %s: %s\n", program, argv[optind], strerror(errno));
            return 1;
        }
        return print_ranges(fd, fd == STDIN_FILENO ? "standard input" : argv[optind], settings.ranges) != 0;
    }

    if (cut_open(&run.cut, &run.list, OUT_SIZE) != 0) {
        fprintf(stderr, "%s: out of memory\n", program);
        return 1;
    }
    if (settings.threads == 0)
        settings.threads = processors() < MAX_THREADS ? processors() : MAX_THREADS;
    for (int k = optind; k < argc || k == optind; k++) {
        const char *name = k < argc ? argv[k] : "-";
        cut_file(&run, &settings, name);
        if (run.cut.write_error != 0 || run.usage_error || (settings.names_only && run.names.count > 0))
            break;
    }
    cut_flush(&run.cut);
    if (fflush(stdout) != 0 && run.cut.write_error == 0)
        run.cut.write_error = errno;
    if (run.cut.write_error != 0)
        fprintf(stderr, "%s: write error: %s\n", program, strerror(run.cut.write_error));
    cut_close(&run.cut);
    free_header(&run.names);
    free(run.list.ranges);
    if (run.usage_error)
        return 2;
    return run.failed || run.cut.write_error != 0 || run.cut.problems > 0;
}
