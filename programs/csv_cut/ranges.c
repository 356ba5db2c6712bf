/* Byte ranges of a file that begin at record starts, for programs that
   spread a file over processes or hosts, and the lines before a range. */
#define _GNU_SOURCE

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cut.h"

/* Counts the LF bytes of [p, p + n). */
static long long count_lines(const char *p, size_t n)
{
    long long lines = 0;
    for (const char *end = p + n; (p = memchr(p, '\n', (size_t)(end - p))) != NULL; p++)
        lines++;
    return lines;
}

size_t read_at(int fd, char *buffer, size_t n, long long offset)
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

int lines_between(int fd, long long from, long long to, long long *line)
{
    enum { PIECE = 1 << 20 };
    char *block = from < to ? malloc(PIECE) : NULL;
    if (from < to && block == NULL)
        return -1;
    while (from < to) {
        const size_t want = to - from < PIECE ? (size_t)(to - from) : (size_t)PIECE;
        const size_t got = read_at(fd, block, want, from);
        *line += count_lines(block, got);
        if (got != want) {
            free(block);
            return -1;
        }
        from += (long long)got;
    }
    free(block);
    return 0;
}


int print_ranges(int fd, const char *name, long long n)
{
    long long *starts = malloc((size_t)(n + 1) * sizeof *starts);

    if (starts == NULL) {
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
