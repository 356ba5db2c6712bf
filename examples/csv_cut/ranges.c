/* Byte ranges of a file that begin at record starts, found in one read of
   the file from the chunk summaries, for programs that spread a file over
   processes or hosts. */
#define _GNU_SOURCE

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cut.h"

enum { READ_SIZE = 1 << 20 };

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


/* Range k begins at the first record start at or after byte size * k / n:
   just past the first LF outside quotes from the byte before on. The file
   is read in blocks, each cut into chunks where such a search begins;
   searches not yet answered are all answered by the next record start. */
int print_ranges(int fd, const char *name, long long n)
{
    struct stat status;
    long long *starts, size, at = 0, searched = 1, answered = 1;
    char *block;
    int state = 0;

    if (fstat(fd, &status) != 0 || !S_ISREG(status.st_mode)) {
        fprintf(stderr, "%s: %s: --ranges needs a file that can be read at any offset\n", program, name);
        return -1;
    }
    size = status.st_size;
    starts = malloc((size_t)(n + 1) * sizeof *starts);
    block = malloc(READ_SIZE);
    if (starts == NULL || block == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        free(starts);
        free(block);
        return -1;
    }
    starts[0] = 0;
    /* A search that would begin before the file's first byte is answered
       by it. */
    while (searched < n && size * searched / n == 0)
        starts[searched++] = 0;
    answered = searched;
    while (at < size) {
        const long long want = size - at < READ_SIZE ? size - at : READ_SIZE;
        const long long got = (long long)read_at(fd, block, (size_t)want, at);
        long long cut = at;
        if (got != want) {
            fprintf(stderr, "%s: %s: %s\n", program, name, errno != 0 ? strerror(errno) : "file cut short while read");
            free(starts);
            free(block);
            return -1;
        }
        while (cut < at + got) {
            long long next = at + got;
            csv_chunk summary;
            if (searched < n && size * searched / n - 1 == cut) {
                searched++; /* a search begins here */
                continue;
            }
            if (searched < n && size * searched / n - 1 < next)
                next = size * searched / n - 1;
            csv_scan_chunk(block + (cut - at), next - cut, &summary);
            if (answered < searched && summary.first_record[state] >= 0)
                while (answered < searched)
                    starts[answered++] = cut + summary.first_record[state];
            state ^= (int)(summary.quotes & 1);
            cut = next;
        }
        at += got;
    }
    while (answered < n)
        starts[answered++] = size;
    starts[n] = size;
    for (long long k = 0; k < n; k++)
        printf("%lld %lld\n", starts[k], starts[k + 1]);
    free(starts);
    free(block);
    if (fflush(stdout) != 0) {
        fprintf(stderr, "%s: write error: %s\n", program, strerror(errno));
        return -1;
    }
    return 0;
}
