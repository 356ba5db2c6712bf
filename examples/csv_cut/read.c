/* The reader on one thread: input read in large blocks, records printed
   from where they lie in the block, an unfinished one carried over. */
#define _GNU_SOURCE

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "cut.h"

enum { BLOCK_SIZE = 1 << 18 }; /* bytes read at first: 256 KB measured a little faster than 1 MB */

ssize_t source_read(struct source *source, char *buffer, size_t n)
{
    while (source->next < source->count) {
        struct piece *piece = &source->pieces[source->next];
        const size_t left = piece->size - source->taken;
        if (left == 0) {
            free(piece->owned);
            piece->owned = NULL;
            source->next++;
            source->taken = 0;
            continue;
        }
        if (n > left)
            n = left;
        memcpy(buffer, piece->at + source->taken, n);
        source->taken += n;
        return (ssize_t)n;
    }
    for (;;) {
        const ssize_t got = read(source->fd, buffer, n);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

/* Reads until an LF, dropping what comes before it; returns how many bytes
   after it are now at the start of the buffer, 0 at the end of the input,
   or -1 on a read error. *dropped gets the bytes dropped. */
static ssize_t skip_to_line_end(struct cut *cut, struct source *source, char *buffer, size_t capacity,
                                long long *dropped)
{
    for (;;) {
        const ssize_t got = source_read(source, buffer, capacity);
        const char *lf;
        if (got <= 0)
            return got;
        lf = memchr(buffer, '\n', (size_t)got);
        if (lf != NULL) {
            const size_t after = (size_t)got - (size_t)(lf + 1 - buffer);
            memmove(buffer, lf + 1, after);
            *dropped += got - (ssize_t)after;
            cut->line++;
            return (ssize_t)after;
        }
        *dropped += got;
    }
}

/* A record still open at the end of what is held is carried to the front
   of the buffer and split again once the buffer holds twice its bytes, so
   that no byte is split more than a few times however the input arrives;
   the buffer grows for it, up to MAX_RECORD. */
int cut_input(struct cut *cut, struct source *source, long long offset, long long stop)
{
    size_t capacity = BLOCK_SIZE, held = 0, need = 1;
    char *buffer = malloc(capacity);
    int at_end = 0;

    if (buffer == NULL) {
        say(cut, "out of memory");
        return -1;
    }
    while (cut->write_error == 0) {
        /* Records that begin at `last` or after are not this reader's. */
        const size_t last = stop < 0 ? (size_t)-1 : stop > offset ? (size_t)(stop - offset) : 0;
        size_t used;
        while (held < need && !at_end) {
            const ssize_t got = source_read(source, buffer + held, capacity - held);
            if (got < 0) {
                say(cut, "%s: %s", source->name, strerror(errno));
                free(buffer);
                return -1;
            }
            at_end = got == 0;
            held += (size_t)got;
        }
        used = cut_records(cut, buffer, 0, held, last, at_end);
        if ((used == held && at_end) || used >= last)
            break;
        if (used == 0 && held == MAX_RECORD) {
            used = print_first_line(cut, buffer, 0, held);
            if (used == 0) {
                /* One line fills the buffer: the rest of it is dropped. */
                long long dropped = (long long)held;
                const ssize_t after = skip_to_line_end(cut, source, buffer, capacity, &dropped);
                if (after < 0) {
                    say(cut, "%s: %s", source->name, strerror(errno));
                    free(buffer);
                    return -1;
                }
                held = (size_t)after;
                offset += dropped;
                cut->counted = 0;
                need = 1;
                continue;
            }
        }
        line_at(cut, buffer, used);
        memmove(buffer, buffer + used, held - used);
        held -= used;
        offset += (long long)used;
        cut->counted = 0;
        need = held < MAX_RECORD / 2 ? 2 * held + 1 : MAX_RECORD;
        if (need > capacity) {
            char *bigger;
            while (capacity < need)
                capacity = capacity * 2 < MAX_RECORD ? capacity * 2 : MAX_RECORD;
            bigger = realloc(buffer, capacity);
            if (bigger == NULL) {
                say(cut, "out of memory");
                free(buffer);
                return -1;
            }
            buffer = bigger;
        }
    }
    free(buffer);
    return 0;
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

/* Reads more of an input's start, the buffer doubled when it is full.
   Returns the bytes read, 0 at the end of the input, or -1 said. */
static ssize_t read_more(struct cut *cut, int fd, struct start *start, size_t *capacity)
{
    if (start->held == *capacity) {
        char *bigger = realloc(start->bytes, *capacity * 2);
        if (bigger == NULL) {
            say(cut, "out of memory");
            return -1;
        }
        start->bytes = bigger;
        *capacity *= 2;
    }
    for (;;) {
        const ssize_t got = read(fd, start->bytes + start->held, *capacity - start->held);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            say(cut, "%s: %s", cut->name, strerror(errno));
        start->held += got > 0 ? (size_t)got : 0;
        return got;
    }
}

int read_start(struct cut *cut, int fd, int header, struct start *start)
{
    size_t capacity = 1 << 16;
    ssize_t got = 1;

    memset(start, 0, sizeof *start);
    start->fields = -1;
    start->bytes = malloc(capacity);
    if (start->bytes == NULL) {
        say(cut, "out of memory");
        return -1;
    }
    while (start->held < 3 && got > 0)
        got = read_more(cut, fd, start, &capacity);
    if (got < 0)
        return -1;
    if (start->held >= 3 && memcmp(start->bytes, "\xef\xbb\xbf", 3) == 0)
        start->body = 3;
    if (!header)
        return 0;
    /* The header: its whole record, read until an LF outside quotes ends
       it or the input ends. */
    start->header = start->body;
    for (;;) {
        const size_t left = start->held - start->header;
        int length;
        const int n = parse_csv_fields(start->bytes + start->header, (int)left, cut->list->separator, cut->fields,
                                       MAX_FIELD + 1, &length);
        if (length > 0 || got == 0) {
            start->fields = n;
            start->body += length > 0 ? (size_t)length : left;
            start->lines = count_lines(start->bytes, start->body);
            return 0;
        }
        if (left >= MAX_RECORD) {
            say(cut, "%s: line 1: header longer than %d MiB", cut->name, MAX_RECORD >> 20);
            return -1;
        }
        if ((got = read_more(cut, fd, start, &capacity)) < 0)
            return -1;
    }
}
