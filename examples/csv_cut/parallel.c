/* The readers on several threads. The input is cut into parts; each part's
   quotes and LFs are summarised (csv_scan_chunk), and the summaries,
   resolved in order, give each part's first physical line and whether it
   begins between quotes, so its first record start. A part's thread then
   prints the records that begin in it (after its first byte, up to and
   including one just past its last byte; the first part from its first
   byte), finishing the last of them from the bytes past the part (its
   reach). Output and messages are written part by part, in order: a thread
   writes in its part's turn, then passes the turn on.

   A part whose last record does not end within its reach (a record longer
   than the reach, the input's last record, a read error) stops the run in
   its turn, and the reader on one thread goes on from that record: what
   that reader does from a record start depends only on the bytes from
   there, so the output, messages and status are those of one thread.

   From a file, each thread reads its own parts (pread). From a pipe, one
   thread reads parts into a ring of slots and summarises them as it goes,
   each slot holding its part and the reach after it. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "cut.h"

/* The turns, and what the parts written so far leave for the next. */
struct order {
    pthread_mutex_t lock;
    pthread_cond_t moved; /* a turn passed, a part was resolved, read or freed, or the run stopped */
    long long turn;       /* the part that writes now */
    int stopped;          /* the part at `turn` stopped the run: no later part writes */
    /* The first record that the parts written so far did not print: where
       a reader on one thread goes on. Its physical line is known_line plus
       the LFs from known_at up to it (counted only if the run stops). */
    long long next_start;
    long long known_at, known_line;
    int hand_over; /* the run stopped for the reader on one thread to go on */
    int read_error; /* the run stopped at a pipe's read error, this errno */
    int problems;
    int write_error;
};

/* A part: input bytes [base, base + length) and the reach after them. */
struct part {
    long long index;
    long long base;
    char *bytes;
    size_t length;
    size_t held;     /* bytes read into `bytes`: the part and some of its reach */
    size_t capacity; /* the part and all of its reach */
    int ends_input;  /* held reaches the end of the input */
    long long first; /* where its first record begins; -1: none begins in it */
    long long line;  /* the physical line of its first byte */
    int read_error;  /* errno of a failed read */
};

enum slot_state { FREE, FILLING, READY, TAKEN };

struct slot {
    struct part part;
    enum slot_state state;
};

struct job {
    const struct plan *plan;
    int fd;
    const char *name;
    struct order order;
    long long taken; /* parts taken by a thread so far */
    /* From a file: the input's bytes [start, end), in `parts` parts,
       resolved in order. */
    long long start, end, parts;
    long long resolved;
    int state; /* between quotes at the first part not resolved */
    long long line;
    /* From a pipe: the ring, the parts read into it so far, and bytes
       read before the threads began, which come first. */
    const struct piece *lead;
    struct slot *slots;
    int slot_count;
    long long filled;
    int reader_done;
};

/* Each on cache lines of its own: a reader writes its output's length at
   every byte, and a neighbour on the same line would slow both (by half,
   measured on two threads). */
enum { CACHE_LINE = 64 };

struct thread {
    pthread_t id;
    struct job *job;
    struct cut cut;
    char *bytes; /* from a file: this thread's part and reach */
} __attribute__((aligned(CACHE_LINE)));

void wait_turn(struct cut *cut)
{
    struct order *order = cut->order;
    pthread_mutex_lock(&order->lock);
    while (order->turn != cut->turn && !order->stopped)
        pthread_cond_wait(&order->moved, &order->lock);
    if (order->turn == cut->turn)
        cut->holds_turn = 1;
    else
        cut->dropped = 1;
    pthread_mutex_unlock(&order->lock);
}

/* From a file: reads more of the part's reach, twice what it read of it
   before (4 KB at first). Returns 0 when nothing more can be read. */
static int read_further(struct job *job, struct part *part)
{
    const long long left = job->end - (part->base + (long long)part->held);
    size_t n = part->held - part->length < 4096 ? 4096 : part->held - part->length;
    if (n > part->capacity - part->held)
        n = part->capacity - part->held;
    if ((long long)n > left)
        n = (size_t)left;
    if (n == 0 || read_at(job->fd, part->bytes + part->held, n, part->base + (long long)part->held) != n)
        return 0;
    part->held += n;
    part->ends_input = part->base + (long long)part->held == job->end;
    return 1;
}

/* In the part's turn: writes what it gathered and passes the turn on, or
   stops the run where the part could not finish (at `at`, unless it read
   nothing). */
static void end_turn(struct job *job, struct cut *cut, const struct part *part, size_t at, int unfinished)
{
    struct order *order = &job->order;
    const long long line = unfinished ? line_at(cut, part->bytes, at) : 0;

    if (part->read_error != 0 && job->slots != NULL)
        say(cut, "%s: %s", job->name, strerror(part->read_error));
    cut_flush(cut);
    if (cut->dropped)
        return;
    pthread_mutex_lock(&order->lock);
    order->problems += cut->problems;
    cut->problems = 0;
    if (part->first >= 0 && part->read_error == 0)
        order->next_start = part->base + (long long)at;
    if (unfinished) {
        order->known_at = order->next_start;
        order->known_line = line;
    } else if (part->read_error != 0) {
        order->known_at = part->base;
        order->known_line = part->line;
    }
    if (cut->write_error != 0) {
        order->write_error = cut->write_error;
        order->stopped = 1;
    } else if (part->read_error != 0 && job->slots != NULL) {
        order->read_error = part->read_error;
        order->stopped = 1;
    } else if (unfinished || part->read_error != 0) {
        order->hand_over = 1; /* a read error from a file: the reader on one thread meets it again */
        order->stopped = 1;
    } else {
        order->turn++;
    }
    pthread_cond_broadcast(&order->moved);
    pthread_mutex_unlock(&order->lock);
}

/* Prints the records that begin in the part, then ends its turn. */
static void cut_part(struct job *job, struct cut *cut, struct part *part)
{
    size_t at = 0;
    int unfinished = 0;

    cut->turn = part->index;
    cut->holds_turn = 0;
    cut->line = part->line;
    cut->counted = 0;
    if (part->first >= 0 && part->read_error == 0) {
        at = (size_t)part->first;
        for (;;) {
            at = cut_records(cut, part->bytes, at, part->held, part->length + 1, 0);
            if (cut->dropped || cut->write_error != 0 || at > part->length || (at == part->held && part->ends_input))
                break;
            /* The record at `at` does not end in what is held. */
            if (job->slots == NULL && read_further(job, part))
                continue;
            unfinished = 1;
            break;
        }
    }
    end_turn(job, cut, part, at, unfinished);
}

/* From a file: a thread takes the next part, reads and summarises it,
   waits for the parts before it to be resolved, and cuts it. */
static void *cut_file_parts(void *arg)
{
    struct thread *thread = arg;
    struct job *job = thread->job;
    const size_t part_size = job->plan->part;

    for (;;) {
        struct part part;
        csv_chunk summary = {0, 0, {-1, -1}};
        int state;

        pthread_mutex_lock(&job->order.lock);
        part.index = job->order.stopped ? job->parts : job->taken++;
        pthread_mutex_unlock(&job->order.lock);
        if (part.index >= job->parts)
            break;
        part.base = job->start + part.index * (long long)part_size;
        part.bytes = thread->bytes;
        part.length = job->end - part.base < (long long)part_size ? (size_t)(job->end - part.base) : part_size;
        part.capacity = part_size + job->plan->reach;
        part.read_error = 0;
        part.held = read_at(job->fd, part.bytes, part.length, part.base);
        if (part.held != part.length)
            part.read_error = errno != 0 ? errno : EIO; /* EIO: the file was cut short while read */
        part.ends_input = part.base + (long long)part.held == job->end;
        /* A part that could not be read is still resolved, as having no
           quote and no LF, so that the parts after it do not wait for it:
           it stops the run in its turn, and what they resolved is dropped. */
        if (part.read_error == 0)
            csv_scan_chunk(part.bytes, (long long)part.length, &summary);

        pthread_mutex_lock(&job->order.lock);
        while (job->resolved != part.index && !job->order.stopped)
            pthread_cond_wait(&job->order.moved, &job->order.lock);
        state = job->state;
        part.line = job->line;
        job->state ^= (int)(summary.quotes & 1);
        job->line += summary.line_feeds;
        job->resolved++;
        pthread_cond_broadcast(&job->order.moved);
        pthread_mutex_unlock(&job->order.lock);

        part.first = part.index == 0 ? 0 : summary.first_record[state];
        thread->cut.dropped = 0;
        cut_part(job, &thread->cut, &part);
        if (thread->cut.dropped)
            break;
    }
    return NULL;
}

/* From a pipe: reads the input into the ring's slots in order, each its
   part and the reach after it (the next part's first bytes, copied over),
   and summarises and resolves each before handing it out. */
static void *read_pipe_parts(void *arg)
{
    struct job *job = arg;
    const size_t part_size = job->plan->part, capacity = part_size + job->plan->reach;
    const struct part *before = NULL;
    long long index = 0, base = 0, line = job->line;
    int state = 0, at_end = 0, read_error = 0;

    for (;;) {
        struct slot *slot = NULL;
        struct part *part;
        csv_chunk summary;

        pthread_mutex_lock(&job->order.lock);
        while (!job->order.stopped) {
            /* Not the slot just read: its last bytes are copied over. */
            for (int k = 0; k < job->slot_count && slot == NULL; k++)
                if (job->slots[k].state == FREE && &job->slots[k].part != before)
                    slot = &job->slots[k];
            if (slot != NULL)
                break;
            pthread_cond_wait(&job->order.moved, &job->order.lock);
        }
        if (slot != NULL)
            slot->state = FILLING;
        pthread_mutex_unlock(&job->order.lock);
        if (slot == NULL)
            break;

        part = &slot->part;
        part->index = index;
        part->base = base;
        part->capacity = capacity;
        part->held = 0;
        if (before == NULL && job->lead != NULL) {
            part->held = job->lead->size;
            memcpy(part->bytes, job->lead->at, part->held);
        } else if (before != NULL && before->held > part_size) {
            part->held = before->held - part_size;
            memcpy(part->bytes, before->bytes + part_size, part->held);
        }
        while (part->held < capacity && !at_end) {
            const ssize_t got = read(job->fd, part->bytes + part->held, capacity - part->held);
            if (got < 0 && errno == EINTR)
                continue;
            if (got < 0)
                read_error = errno;
            at_end = got <= 0;
            part->held += got > 0 ? (size_t)got : 0;
        }
        part->read_error = read_error;
        part->ends_input = at_end;
        part->length = part->held < part_size ? part->held : part_size;
        csv_scan_chunk(part->bytes, (long long)part->length, &summary);
        part->first = index == 0 ? 0 : summary.first_record[state];
        part->line = line;
        state ^= (int)(summary.quotes & 1);
        line += summary.line_feeds;

        pthread_mutex_lock(&job->order.lock);
        slot->state = READY;
        job->filled = index + 1;
        pthread_cond_broadcast(&job->order.moved);
        pthread_mutex_unlock(&job->order.lock);
        if (part->held <= part_size || read_error != 0)
            break; /* the input ends in this part */
        before = part;
        base += (long long)part_size;
        index++;
    }
    pthread_mutex_lock(&job->order.lock);
    job->reader_done = 1;
    pthread_cond_broadcast(&job->order.moved);
    pthread_mutex_unlock(&job->order.lock);
    return NULL;
}

/* From a pipe: a thread takes the next part read, cuts it and frees its
   slot; a stopped run keeps its slots, whose bytes go on to the reader on
   one thread. */
static void *cut_pipe_parts(void *arg)
{
    struct thread *thread = arg;
    struct job *job = thread->job;

    for (;;) {
        struct slot *slot = NULL;
        pthread_mutex_lock(&job->order.lock);
        while (job->filled <= job->taken && !job->reader_done && !job->order.stopped)
            pthread_cond_wait(&job->order.moved, &job->order.lock);
        if (job->filled > job->taken && !job->order.stopped) {
            for (int k = 0; k < job->slot_count; k++)
                if (job->slots[k].state == READY && job->slots[k].part.index == job->taken)
                    slot = &job->slots[k];
            slot->state = TAKEN;
            job->taken++;
        }
        pthread_mutex_unlock(&job->order.lock);
        if (slot == NULL)
            break;
        thread->cut.dropped = 0;
        cut_part(job, &thread->cut, &slot->part);
        pthread_mutex_lock(&job->order.lock);
        if (!job->order.stopped)
            slot->state = FREE;
        pthread_cond_broadcast(&job->order.moved);
        pthread_mutex_unlock(&job->order.lock);
        if (thread->cut.dropped)
            break;
    }
    return NULL;
}

/* The bytes from `from` on that the stopped run's slots hold, in order,
   as pieces for the reader on one thread, which frees each slot's memory
   once it has read it. Returns how many. */
static int held_pieces(struct job *job, long long from, struct piece *pieces)
{
    int count = 0;
    for (long long index = job->order.turn; index < job->filled; index++)
        for (int k = 0; k < job->slot_count; k++) {
            struct part *part = &job->slots[k].part;
            if (job->slots[k].state == FREE || part->index != index)
                continue;
            if (from >= part->base && from < part->base + (long long)part->held) {
                pieces[count].at = part->bytes + (from - part->base);
                pieces[count].size = (size_t)(part->base + (long long)part->held - from);
                pieces[count].owned = part->bytes;
                part->bytes = NULL;
                from = part->base + (long long)part->held;
                count++;
            }
        }
    return count;
}

/* Sets up the threads' readers and buffers and, from a pipe, the ring;
   returns 0, or -1 out of memory. */
static int set_up(struct job *job, struct thread *threads, const struct cut *cut, int from_file)
{
    const struct plan *plan = job->plan;
    if (!from_file) {
        /* A slot for each thread's part, one being read and one ready ahead. */
        job->slot_count = plan->threads + 2;
        job->slots = calloc((size_t)job->slot_count, sizeof *job->slots);
        if (job->slots == NULL)
            return -1;
        for (int k = 0; k < job->slot_count; k++)
            if ((job->slots[k].part.bytes = malloc(plan->part + plan->reach)) == NULL)
                return -1;
    }
    for (int k = 0; k < plan->threads; k++) {
        threads[k].job = job;
        if (cut_open(&threads[k].cut, cut->list, plan->part, 1) != 0)
            return -1;
        threads[k].cut.name = cut->name;
        threads[k].cut.order = &job->order;
        if (from_file && (threads[k].bytes = malloc(plan->part + plan->reach)) == NULL)
            return -1;
    }
    return 0;
}

static void free_threads(const struct job *job, struct thread *threads)
{
    for (int k = 0; threads != NULL && k < job->plan->threads; k++) {
        cut_close(&threads[k].cut);
        free(threads[k].bytes);
    }
    free(threads);
}

static void tear_down(struct job *job)
{
    for (int k = 0; job->slots != NULL && k < job->slot_count; k++)
        free(job->slots[k].part.bytes);
    free(job->slots);
    pthread_mutex_destroy(&job->order.lock);
    pthread_cond_destroy(&job->order.moved);
}

/* Starts the threads, and from a pipe the reader, and waits for them all.
   Returns how many threads cut parts: 0 when none could start, and then
   nothing was read. */
static int run(struct job *job, struct thread *threads, int from_file)
{
    pthread_t reader;
    int started = 0;
    while (started < job->plan->threads &&
           pthread_create(&threads[started].id, NULL, from_file ? cut_file_parts : cut_pipe_parts,
                          &threads[started]) == 0)
        started++;
    if (started > 0 && !from_file && pthread_create(&reader, NULL, read_pipe_parts, job) != 0) {
        pthread_mutex_lock(&job->order.lock);
        job->order.stopped = 1; /* before any part is read */
        pthread_cond_broadcast(&job->order.moved);
        pthread_mutex_unlock(&job->order.lock);
        for (int k = 0; k < started; k++)
            pthread_join(threads[k].id, NULL);
        return 0;
    }
    for (int k = 0; k < started; k++)
        pthread_join(threads[k].id, NULL);
    if (started > 0 && !from_file)
        pthread_join(reader, NULL);
    return started;
}

int cut_parallel(struct cut *cut, const struct plan *plan, struct source *input)
{
    const int fd = input->fd;
    const char *name = input->name;
    struct job job;
    struct thread *threads;
    struct stat status;
    struct piece *pieces = NULL;
    struct source source = {fd, name, NULL, 0, 0, 0};
    int from_file, failed = 0;

    memset(&job, 0, sizeof job);
    job.plan = plan;
    job.fd = fd;
    job.name = name;
    job.line = cut->line;
    from_file = input->count == 0 && fstat(fd, &status) == 0 && S_ISREG(status.st_mode);
    if (from_file) {
        job.start = lseek(fd, 0, SEEK_CUR);
        job.end = status.st_size;
        if (job.start < 0 || job.end - job.start <= (long long)plan->part)
            return cut_input(cut, input, job.start < 0 ? 0 : job.start, -1);
        job.parts = (job.end - job.start + (long long)plan->part - 1) / (long long)plan->part;
    } else {
        if (input->count > 0 && input->pieces[0].size > plan->part + plan->reach)
            return cut_input(cut, input, 0, -1); /* more read before than a slot holds */
        job.lead = input->count > 0 ? &input->pieces[0] : NULL;
        /* A larger pipe lets the writer run further ahead: fewer waits on
           either side. (Refused beyond the system's limit: no harm.) */
        (void)fcntl(fd, F_SETPIPE_SZ, 1 << 20);
    }
    job.order.next_start = job.order.known_at = job.start;
    job.order.known_line = cut->line;
    pthread_mutex_init(&job.order.lock, NULL);
    pthread_cond_init(&job.order.moved, NULL);
    if (posix_memalign((void **)&threads, CACHE_LINE, (size_t)plan->threads * sizeof *threads) != 0)
        threads = NULL;
    else
        memset(threads, 0, (size_t)plan->threads * sizeof *threads);
    if (threads == NULL || set_up(&job, threads, cut, from_file) != 0 || run(&job, threads, from_file) == 0) {
        /* Nothing was read: one thread does it all. */
        free_threads(&job, threads);
        tear_down(&job);
        return cut_input(cut, input, job.start, -1);
    }
    /* The threads' buffers go before the reader on one thread grows its
       own; the slots' go as it reads them. */
    free_threads(&job, threads);

    cut->problems += job.order.problems;
    if (job.order.write_error != 0)
        cut->write_error = job.order.write_error;
    if (job.order.read_error != 0) {
        failed = -1;
    } else if (job.order.hand_over && cut->write_error == 0) {
        if (getenv("CSV_CUT_TRACE") != NULL) /* for tests: when the threads stop */
            fprintf(stderr, "%s: one thread goes on from byte %lld\n", program, job.order.next_start);
        cut->line = job.order.known_line;
        cut->counted = 0;
        if (from_file) {
            /* After a read error, the lines from the failed part's start
               to the record are counted again (and the error likely met). */
            if (lines_between(fd, job.order.known_at, job.order.next_start, &cut->line) != 0 ||
                lseek(fd, (off_t)job.order.next_start, SEEK_SET) < 0) {
                say(cut, "%s: %s", name, errno != 0 ? strerror(errno) : "file cut short while read");
                failed = -1;
            }
        } else if ((pieces = calloc((size_t)job.slot_count, sizeof *pieces)) == NULL) {
            say(cut, "out of memory");
            failed = -1;
        } else {
            source.pieces = pieces;
            source.count = held_pieces(&job, job.order.next_start, pieces);
            /* The slots whose bytes were not handed over go before the
               reader grows its buffer. */
            for (int k = 0; k < job.slot_count; k++) {
                free(job.slots[k].part.bytes);
                job.slots[k].part.bytes = NULL;
            }
        }
        if (failed == 0)
            failed = cut_input(cut, &source, job.order.next_start, -1);
    }
    for (int k = 0; k < source.count; k++)
        free(pieces[k].owned);
    free(pieces);
    tear_down(&job);
    return failed;
}
