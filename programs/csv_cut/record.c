/* A record into a printer's output: its chosen fields in the list's order
   (or, with --complement, the others in the record's), one line, and what
   the reader flagged on it said with the line where it began. */
#include "cut.h"

static void report_malformed(struct cut *cut, int field, const char *what)
{
    say(cut, "%s: line %lld: field %d: a quote inside an unquoted field or after a closing quote%s", cut->name,
        cut->line, field + 1, what);
    cut->problems++;
}

/* Appends one chosen field of a record of n fields, after the separator
   unless it is the record's first, in either way of writing. Returns
   whether its value was empty. */
static int put_chosen(struct cut *cut, const char *text, int n, int field, int *printed)
{
    const csv_line_field *f = &cut->fields[field];
    int malformed;
    if ((*printed)++ > 0)
        put_byte(cut, cut->list->out_separator);
    if (field >= n)
        return 1; /* a record without the field prints it empty */
    malformed = cut->list->csv ? put_csv_field(cut, field) : put_field(cut, text, f);
    if (malformed != 0)
        report_malformed(cut, field, "; printed with every quote dropped");
    /* Empty: no byte, two quotes that enclose nothing, or only quotes
       where every quote is dropped. */
    return f->length == 0 || (f->quotes == 2 && f->length == 2) || (malformed && f->length == f->quotes);
}

/* Prints the chosen fields of a record of n fields (cut->fields) that
   lies in `text` (the fields' starts count from there), and says each of
   them that is not well formed. */
static void print_record(struct cut *cut, const char *text, int n)
{
    const struct list *list = cut->list;
    int printed = 0, empty = 0;

    /* Only an open range or the complement would print the fields past. */
    if (n > MAX_FIELD && (list->open || list->complement)) {
        say(cut, "%s: line %lld: more than %d fields; the rest not printed", cut->name, cut->line, MAX_FIELD);
        cut->problems++;
    }
    if (n > MAX_FIELD)
        n = MAX_FIELD;
    if (!list->complement && !list->csv) {
        /* The common way, kept to its few steps. */
        const char separator = list->out_separator;
        for (int k = 0; k < list->count; k++) {
            const struct range r = list->ranges[k];
            const int last = r.last >= 0 ? r.last : n - 1;
            for (int field = r.first; field <= last; field++) {
                if (printed++ > 0)
                    put_byte(cut, separator);
                if (field < n && put_field(cut, text, &cut->fields[field]) != 0)
                    report_malformed(cut, field, "; printed with every quote dropped");
            }
        }
        put_byte(cut, '\n');
        return;
    }
    if (list->complement) {
        for (int field = 0; field < n; field++)
            if (!list->chosen[field])
                empty = put_chosen(cut, text, n, field, &printed);
    } else {
        for (int k = 0; k < list->count; k++) {
            const struct range r = list->ranges[k];
            const int last = r.last >= 0 ? r.last : n - 1;
            for (int field = r.first; field <= last; field++)
                empty = put_chosen(cut, text, n, field, &printed);
        }
    }
    /* A CSV record of one empty field is written "", as an empty line is
       read back as no field at all. */
    if (list->csv && printed == 1 && empty)
        put_plain(cut, "\"\"", 2);
    put_byte(cut, '\n');
}

void cut_record(struct cut *cut, const csv_line_batch *batch, const csv_line_record *record)
{
    const csv_line_field *last = &batch->fields[record->field + record->count - 1];
    cut->batch = batch;
    cut->first_field = record->field;
    cut->fields = &batch->fields[record->field];
    cut->line = record->line;
    cut->readable = batch->text + last->start + last->length;
    if (record->flags & CSV_LINE_RECORD_UNCLOSED) {
        say(cut, "%s: line %lld: quote not closed by the end of the input", cut->name, cut->line);
        cut->problems++;
    }
    if (record->flags & CSV_LINE_RECORD_TOO_LONG) {
        say(cut, "%s: line %lld: record longer than %d MiB (a quote not closed?); ended at its line end", cut->name,
            cut->line, MAX_RECORD >> 20);
        cut->problems++;
    }
    if (record->flags & CSV_LINE_RECORD_LINE_TOO_LONG) {
        say(cut, "%s: line %lld: line longer than %d MiB; printed the fields in its first %d MiB", cut->name,
            cut->line, MAX_RECORD >> 20, MAX_RECORD >> 20);
        cut->problems++;
    }
    if (record->flags & CSV_LINE_RECORD_TOO_MANY_FIELDS) {
        say(cut, "%s: line %lld: record of more than %d fields; the fields past them not read", cut->name, cut->line,
            CSV_LINE_DEFAULT_FIELD_LIMIT);
        cut->problems++;
    }
    print_record(cut, batch->text, record->count);
    /* Every field is checked, printed or not: a stray quote in one that is
       not printed may have joined records. */
    if (record->flags & CSV_LINE_RECORD_MALFORMED)
        for (int k = 0; k < record->count; k++)
            if (!list_prints(cut->list, k, record->count) && csv_line_batch_malformed(batch, record->field + k))
                report_malformed(cut, k, "; not printed");
}
