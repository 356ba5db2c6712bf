/* The inputs, one after another, each read through the library's reader:
   lenient, so that every problem is flagged on its record and said here
   while the record still prints. With a header, each input's own names
   choose its fields. */
#define _GNU_SOURCE

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

#include "cut.h"

void say_error(struct cut *cut, const csv_line_reader *reader)
{
    const csv_line_error *error = csv_line_reader_error(reader);
    if (error->code == CSV_LINE_ERROR_IO)
        say(cut, "%s: %s", cut->name, strerror(error->system));
    else
        say(cut, "%s: %s", cut->name, error->message);
}

/* Prints the header's names with their numbers. */
static void print_names(const struct header *names)
{
    for (int k = 0; k < names->count; k++) {
        printf("%d\t", k + 1);
        fwrite(names->names[k], 1, names->lengths[k], stdout);
        putchar('\n');
    }
}

/* The names print from the first input with a header, when the header
   begins in the range asked for (any, without one). */
int take_header(struct run *run, const struct settings *settings, const csv_line_batch *batch)
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

/* On several threads, the batches after the first are printed on the
   reader's threads. */
int cut_records(struct run *run, const struct settings *settings, csv_line_reader *reader, long long base,
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

/* Cuts the input `name` ("-": standard input). */
static void cut_file(struct run *run, const struct settings *settings, const char *name)
{
    struct cut *cut = &run->cut;
    const int from_stdin = strcmp(name, "-") == 0;
    const int fd = from_stdin ? STDIN_FILENO : open(name, O_RDONLY);
    /* Lenient; the header is taken here, as a record that names fields.
       Fields are printed from their raw bytes, UTF-8 or not: values are
       decoded only where one is asked for. */
    csv_line_reader_options options = {run->list.separator, 0, MAX_RECORD, settings->threads, 1, 0, 1,
                                       CSV_LINE_ENCODING_AUTO, CSV_LINE_UTF8_RAW,
                                       settings->guess_separator ? CSV_LINE_GUESS_SEPARATOR : 0};

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

/* An input that could not be written out, or whose list was wrong, ends
   the run; so does -n, once it has printed a header's names. */
void cut_inputs(struct run *run, const struct settings *settings)
{
    for (int k = 0; k < settings->file_count || k == 0; k++) {
        cut_file(run, settings, k < settings->file_count ? settings->files[k] : "-");
        if (run->cut.write_error != 0 || run->usage_error || (settings->names_only && run->names.count > 0))
            break;
    }
}
