/* A printer's output and messages. Output is gathered and written in
   pieces; on the reader's threads each printer holds one batch, and writes
   its output and messages only in that batch's turn, so that they come in
   input order. */
#include <errno.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

const char *program = "csv_cut";

int cut_open(struct cut *cut, const struct list *list, size_t out_limit)
{
    memset(cut, 0, sizeof *cut);
    cut->list = list;
    cut->out_limit = out_limit;
    cut->out = malloc(2 * out_limit + 8);
    return cut->out != NULL ? 0 : -1;
}

void cut_close(struct cut *cut)
{
    free(cut->out);
    free(cut->said);
    cut->out = cut->said = NULL;
}

static void write_out(struct cut *cut, FILE *stream, const char *bytes, size_t n)
{
    if (cut->write_error == 0 && n > 0 && fwrite(bytes, 1, n, stream) != n)
        cut->write_error = errno != 0 ? errno : EIO;
}

/* On a thread: waits until the batches before this printer's have been
   written; the messages it held go first. */
static void take_turn(struct cut *cut)
{
    struct order *order = cut->order;
    if (order == NULL || cut->holds_turn)
        return;
    pthread_mutex_lock(&order->lock);
    while (order->turn != cut->turn)
        pthread_cond_wait(&order->moved, &order->lock);
    pthread_mutex_unlock(&order->lock);
    cut->holds_turn = 1;
    write_out(cut, stderr, cut->said, cut->said_used);
    cut->said_used = 0;
}

void cut_flush(struct cut *cut)
{
    take_turn(cut);
    write_out(cut, stdout, cut->out, cut->used);
    cut->used = 0;
}

void end_turn(struct cut *cut)
{
    struct order *order = cut->order;
    cut_flush(cut);
    pthread_mutex_lock(&order->lock);
    order->turn = cut->turn + 1;
    order->problems += cut->problems;
    if (order->write_error == 0)
        order->write_error = cut->write_error;
    pthread_cond_broadcast(&order->moved);
    pthread_mutex_unlock(&order->lock);
    cut->holds_turn = 0;
    cut->problems = 0;
}

void say(struct cut *cut, const char *format, ...)
{
    char line[512];
    va_list args;
    int n;

    va_start(args, format);
    n = vsnprintf(line, sizeof line, format, args);
    va_end(args);
    if (n < 0)
        return;
    if ((size_t)n >= sizeof line)
        n = sizeof line - 1;
    if (cut->order == NULL || cut->holds_turn) {
        fprintf(stderr, "%s: %s\n", program, line);
        return;
    }
    /* Held until the batches before are written. */
    {
        /* "program: line\n" and the NUL sprintf ends it with */
        const size_t need = cut->said_used + strlen(program) + (size_t)n + 4;
        if (need > cut->said_size) {
            char *bigger = realloc(cut->said, 2 * need);
            if (bigger == NULL) {
                take_turn(cut);
                fprintf(stderr, "%s: %s\n", program, line);
                return;
            }
            cut->said = bigger;
            cut->said_size = 2 * need;
        }
        cut->said_used += (size_t)sprintf(cut->said + cut->said_used, "%s: %s\n", program, line);
    }
}
