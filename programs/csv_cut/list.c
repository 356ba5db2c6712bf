/* The field list: numbers, ranges of them and, with a header, names,
   counted from 1 on the command line and from 0 here; and a header's
   names, which the list may use. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "cut.h"

/* A field number at *p, 1 to MAX_FIELD; moves *p past it. -1 if none. */
static int field_number(const char **p)
{
    long n = 0;

    if (**p < '0' || **p > '9')
        return -1;
    while (**p >= '0' && **p <= '9' && n <= MAX_FIELD)
        n = n * 10 + (*(*p)++ - '0');
    return n >= 1 && n <= MAX_FIELD && (**p < '0' || **p > '9') ? (int)n : -1;
}

/* A range of numbers at *p, as 2, 2-4, 3- or -2, ended by a comma or the
   list's end; moves *p past it. 0, or -1 if the item is not one. */
static int number_range(const char **p, struct range *r)
{
    r->first = 0;
    if (**p != '-' && (r->first = field_number(p)) < 0)
        return -1;
    r->last = r->first;
    if (**p == '-') {
        (*p)++;
        if (r->first == 0 && (**p == ',' || **p == '\0'))
            return -1; /* "-" alone */
        r->last = **p == ',' || **p == '\0' ? 0 : field_number(p);
        if (r->last < 0 || (r->last != 0 && r->last < (r->first > 0 ? r->first : 1)))
            return -1;
        r->first = r->first > 0 ? r->first : 1;
    }
    r->first--;
    r->last--; /* an open range: -1 */
    return **p == ',' || **p == '\0' ? 0 : -1;
}

/* Whether an item that is no number range (`length` bytes at `item`) is
   a name: a byte other than a digit or '-' makes it one, so that id and
   1x are names and 0 or 3-2 are bad numbers. */
static int looks_like_name(const char *item, size_t length)
{
    for (size_t k = 0; k < length; k++)
        if ((item[k] < '0' || item[k] > '9') && item[k] != '-')
            return 1;
    return 0;
}

int parse_list(struct list *list, const char *text, const struct header *header, const char *where)
{
    const char *p = text;
    int k;

    free(list->ranges);
    list->ranges = malloc((strlen(text) / 2 + 1) * sizeof *list->ranges); /* an item takes 2 bytes or more */
    list->count = list->open = 0;
    if (list->ranges == NULL) {
        fprintf(stderr, "%s: out of memory\n", program);
        return -1;
    }
    for (;;) {
        const char *item = p;
        const size_t length = strcspn(item, ",");
        struct range r;
        if (number_range(&p, &r) != 0) {
            if (length == 0 || !looks_like_name(item, length))
                break;
            if (header == NULL) {
                fprintf(stderr, "%s: bad field list '%s': '%.*s' is a name; give -H (--header) to take names from "
                        "the first record\n", program, text, (int)length, item);
                return -1;
            }
            for (k = 0; k < header->count; k++)
                if (header->lengths[k] == length && memcmp(header->names[k], item, length) == 0)
                    break;
            if (k == header->count) {
                fprintf(stderr, "%s: %s: no field named '%.*s' in the header\n", program, where, (int)length, item);
                return -2;
            }
            if (k >= MAX_FIELD) {
                fprintf(stderr, "%s: %s: field '%.*s' is past field %d\n", program, where, (int)length, item, MAX_FIELD);
                return -2;
            }
            r.first = r.last = k;
            p = item + length;
        }
        if (r.last < 0)
            list->open = 1;
        list->ranges[list->count++] = r;
        if (*p == '\0') {
            if (list->complement) {
                memset(list->chosen, 0, sizeof list->chosen);
                for (k = 0; k < list->count; k++) {
                    const int last = list->ranges[k].last >= 0 ? list->ranges[k].last : MAX_FIELD - 1;
                    for (int field = list->ranges[k].first; field <= last; field++)
                        list->chosen[field] = 1;
                }
            }
            return 0;
        }
        p++; /* the comma */
    }
    fprintf(stderr, "%s: bad field list '%s': give field numbers from 1 to %d, as in 1,6 or 2-4 or 3-, or names with "
            "-H\n", program, text, MAX_FIELD);
    return -1;
}

int list_prints(const struct list *list, int k, int n)
{
    if (k >= MAX_FIELD)
        return 0;
    if (list->complement)
        return !list->chosen[k];
    for (int i = 0; i < list->count; i++)
        if (k >= list->ranges[i].first && (k <= list->ranges[i].last || (list->ranges[i].last < 0 && k < n)))
            return 1;
    return 0;
}

int read_header(struct header *header, const csv_line_batch *batch, const csv_line_record *record)
{
    header->names = calloc((size_t)record->count + 1, sizeof *header->names);
    header->lengths = calloc((size_t)record->count + 1, sizeof *header->lengths);
    header->count = 0;
    if (header->names == NULL || header->lengths == NULL)
        return -1;
    /* A name is its value, or its content by the splitting rule where it
       is malformed (and reported as the header is printed). */
    for (int k = 0; k < record->count; k++) {
        const csv_line_text name = csv_line_batch_value(batch, record->field + k);
        header->names[k] = name.data;
        header->lengths[k] = (size_t)name.length;
    }
    header->count = record->count;
    return 0;
}

void free_header(struct header *header)
{
    free(header->names);
    free(header->lengths);
    memset(header, 0, sizeof *header);
}
