/* Printers for the reader's threads: each batch after the first is printed
   on the thread that indexed it, by a printer of its own taken from a
   pool, and written in the batch's turn. */
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

struct printers {
    const struct list *list;
    const char *name;
    struct order order;
    pthread_mutex_t lock;              /* over the pool and failed */
    struct cut *free[MAX_THREADS + 1]; /* the pool: printers no batch holds */
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
        cut_record(cut, batch, &batch->records[r]);
    end_turn(cut);
    stop = cut->write_error != 0;
    cut->write_error = 0;
    pthread_mutex_lock(&printers->lock);
    printers->free[printers->count++] = cut;
    pthread_mutex_unlock(&printers->lock);
    return stop;
}

int cut_on_threads(struct cut *cut, csv_line_reader *reader, long long next_turn)
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
