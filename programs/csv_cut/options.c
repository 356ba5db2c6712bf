/* The command line, as GNU tools take it: --help and --version on standard
   output, and a wrong option or argument said with a hint to --help and
   status 2, before any input is read. */
#define _GNU_SOURCE

#include <errno.h>
#include <getopt.h>
#include <limits.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

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
            "                             (\\t or tab for TAB; auto: guessed from each\n"
            "                             input's first 64 KiB)\n"
            "  -H, --header               the first record of each input holds names;\n"
            "                             the output starts with the chosen names\n"
            "  -n, --names                print the header's names with their numbers\n"
            "      --complement           print every field but the listed ones\n"
            "      --csv                  write CSV, quoting fields that need it, instead\n"
            "                             of escaping TAB, LF, CR and \\ as \\t \\n \\r \\\\\n"
            "      --output-delimiter=CHAR  the output's separator (TAB, or with --csv\n"
            "                             the input's; a comma when it is guessed)\n"
            "  -j, --jobs=N               cut each input on N threads (default: one per\n"
            "                             processor); the output is the same\n"
            "      --ranges=N             print N byte ranges of FILE that begin at records\n"
            "      --range=START-END      print the records that begin in that byte range\n"
            "      --help                 print this help and exit\n"
            "      --version              print the version and exit\n"
            "\n"
            "A quoted field may hold separators, quotes (doubled) and line breaks.\n"
            "A UTF-8 byte-order mark at the start of an input is dropped; an input\n"
            "in UTF-16, after its byte-order mark, is read as UTF-8. An input\n"
            "compressed with gzip or zstd is read decompressed, whatever its name.\n"
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

/* START-END into settings; -1 when text is not one. */
static int read_range(const char *text, struct settings *settings)
{
    const char *dash = strchr(text, '-');
    char first[32];
    if (dash != NULL && (size_t)(dash - text) < sizeof first) {
        memcpy(first, text, (size_t)(dash - text));
        first[dash - text] = '\0';
        settings->range_start = whole_number(first, 0, LLONG_MAX);
        settings->range_end = whole_number(dash + 1, 0, LLONG_MAX);
    }
    return settings->range_start < 0 || settings->range_end < settings->range_start ? -1 : 0;
}

/* The processors this process may run on. */
static int processors(void)
{
    cpu_set_t set;
    if (sched_getaffinity(0, sizeof set, &set) == 0 && CPU_COUNT(&set) > 0)
        return CPU_COUNT(&set);
    return 1;
}

/* Whether the options go together, and the list, when no header names its
   fields, is good: 0, else the status after saying what is wrong. */
static int check(const struct settings *settings, struct list *list)
{
    if (settings->ranges > 0 || settings->range_start >= 0) {
        if (settings->file_count != 1)
            return bad_usage("--ranges and --range take one FILE");
        if (settings->ranges > 0 && (settings->fields != NULL || settings->header))
            return bad_usage("--ranges prints byte ranges: it takes no field list or header");
    }
    if (settings->fields == NULL && settings->ranges == 0 && !settings->names_only)
        return bad_usage("give the fields to print with -f LIST");
    if (settings->names_only && settings->fields != NULL)
        return bad_usage("-n lists the names: it takes no field list");
    if (settings->fields != NULL && !settings->header && parse_list(list, settings->fields, NULL, NULL) != 0)
        return bad_usage(NULL);
    return 0;
}

/* The status of --help and --version: 1 when standard output failed. */
static int printed_status(void)
{
    return fflush(stdout) != 0 || ferror(stdout) ? 1 : 0;
}

int read_options(int argc, char **argv, struct settings *settings, struct list *list)
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
    int separator = ',', out_separator = -1, opt, status;

    memset(settings, 0, sizeof *settings);
    settings->range_start = settings->range_end = -1;
    while ((opt = getopt_long(argc, argv, "f:d:Hnj:", options, NULL)) != -1) {
        switch (opt) {
        case 'f':
            settings->fields = optarg;
            break;
        case 'd':
            settings->guess_separator = strcmp(optarg, "auto") == 0;
            if (settings->guess_separator)
                separator = ',';
            else if ((separator = separator_from(optarg, "the delimiter")) < 0)
                return bad_usage(NULL);
            break;
        case 'H':
            settings->header = 1;
            break;
        case 'n':
            settings->header = settings->names_only = 1;
            break;
        case COMPLEMENT:
            list->complement = 1;
            break;
        case CSV:
            list->csv = 1;
            break;
        case OUTPUT_DELIMITER:
            if ((out_separator = separator_from(optarg, "the output delimiter")) < 0)
                return bad_usage(NULL);
            break;
        case 'j':
            settings->threads = (int)whole_number(optarg, 1, MAX_THREADS);
            if (settings->threads < 1) {
                fprintf(stderr, "%s: bad thread count '%s': give 1 to %d\n", program, optarg, MAX_THREADS);
                return bad_usage(NULL);
            }
            break;
        case RANGES:
            settings->ranges = whole_number(optarg, 1, 1 << 20);
            if (settings->ranges < 1) {
                fprintf(stderr, "%s: bad range count '%s': give 1 to %d\n", program, optarg, 1 << 20);
                return bad_usage(NULL);
            }
            break;
        case RANGE:
            if (read_range(optarg, settings) != 0) {
                fprintf(stderr, "%s: bad range '%s': give START-END as --ranges prints them\n", program, optarg);
                return bad_usage(NULL);
            }
            break;
        case HELP:
            usage();
            return printed_status();
        case VERSION:
            printf("%s (csv_line) %s\n", program, CSV_LINE_VERSION);
            return printed_status();
        default:
            return bad_usage(NULL);
        }
    }
    settings->files = argv + optind;
    settings->file_count = argc - optind;
    list->separator = (char)separator;
    list->out_separator = out_separator >= 0 ? (char)out_separator : list->csv ? list->separator : '\t';
    if ((status = check(settings, list)) != 0)
        return status;
    if (settings->threads == 0)
        settings->threads = processors() < MAX_THREADS ? processors() : MAX_THREADS;
    return -1;
}
