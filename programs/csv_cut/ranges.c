/* Byte ranges of a file that begin at record starts, for programs that
   spread a file over processes or hosts (--ranges), and the records that
   begin in one of them (--range), named by the file's own lines. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cut.h"

int print_ranges(const char *path, long long n)
{
    const int fd = strcmp(path, "-") == 0 ? STDIN_FILENO : open(path, O_RDONLY);
    const char *name = fd == STDIN_FILENO ? "standard input" : path;
    long long *starts;

    if (fd < 0) {
        fprintf(stderr, "%s: %s: %s\n", program, path, strerror(errno));
        return -1;
    }
    if ((starts = malloc((size_t)(n + 1) * sizeof *starts)) == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return -1;
    }
    if (csv_line_ranges_find_fd(fd, n, starts, NULL) != 0) {
        if (errno == ESPIPE)
            fprintf(stderr, "%s: %s: --ranges needs a file that can be read at any offset\n", program, name);
        else
            fprintf(stderr, "%s: %s: %s\n", program, name, errno == EIO ? "file cut short while read" : strerror(errno));
        free(starts);
        return -1;
    }
    for (long long k = 0; k < n; k++)
        printf("%lld %lld\n", starts[k], starts[k + 1]);
    free(starts);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "%s: write error: %s\n", program, strerror(errno));
        return -1;
    }
    return 0;
}

/* Reads n bytes at offset into buffer, however many reads it takes;
   returns how many it read, fewer at the end of the file (errno 0) or on
   an error (errno set). */
static size_t read_at(int fd, char *buffer, size_t n, long long offset)
{
    size_t got = 0;
    errno = 0;
    while (got < n) {
        const ssize_t step = pread(fd, buffer + got, n - got, (off_t)(offset + (long long)got));
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            break;
        got += (size_t)step;
    }
    return got;
}

/* Adds the LFs of the file's first `end` bytes to *line, as the library's
   chunk summaries count them. Returns 0, or -1 with errno set (0 when the
   file ends first). */
static int lines_before(int fd, long long end, long long *line)
{
    enum { PIECE = 1 << 20 };
    char *block;
    long long at;

    if (end <= 0)
        return 0;
    if ((block = malloc(PIECE)) == NULL)
        return -1;
    for (at = 0; at < end;) {
        const size_t want = end - at < PIECE ? (size_t)(end - at) : (size_t)PIECE;
        const size_t got = read_at(fd, block, want, at);
        csv_line_chunk summary;
        csv_line_chunk_scan(block, (long long)got, &summary);
        *line += summary.line_feeds;
        if (got != want)
            break;
        at += (long long)got;
    }
    free(block);
    return at < end ? -1 : 0;
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

/* Where the records after the mark and the header begin: -1 when there
   are none to cut (none follow, or the header chose no fields), -2 when
   the file could not be read through (said). */
static long long body_start(struct run *run, const struct settings *settings, int fd,
                            const csv_line_reader_options *options)
{
    csv_line_reader *reader = csv_line_reader_open_fd(fd, options);
    csv_line_batch batch;
    long long body = -1;
    int n = 0;

    if (reader == NULL) {
        say(&run->cut, "out of memory");
        return -2;
    }
    while (body < 0 && (n = csv_line_reader_next(reader, &batch)) > 0) {
        int r = 0;
        if (settings->header && batch.sequence == 0) {
            if (take_header(run, settings, &batch) != 0) {
                csv_line_reader_close(reader);
                return -1;
            }
            r = 1;
        }
        if (r < batch.count)
            body = batch.records[r].offset;
    }
    if (n < 0)
        say_error(&run->cut, reader);
    csv_line_reader_close(reader);
    return n < 0 ? -2 : body;
}

/* The header (and mark) are read first from the file's start, then its
   lines before the range counted, so that messages name the file's lines. */
int cut_range(struct run *run, const struct settings *settings, int fd, csv_line_reader_options *options)
{
    struct cut *cut = &run->cut;
    const long long body = body_start(run, settings, fd, options);
    struct after_lf source = {fd, 0};
    csv_line_reader *reader;
    long long start, line = 1;
    int failed;

    if (body == -2)
        return -1;
    if (body < 0)
        return 0;
    start = settings->range_start > body ? settings->range_start : body;
    if (lines_before(fd, start, &line) != 0 || lseek(fd, (off_t)start, SEEK_SET) < 0) {
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
