// A table handed out through Arrow's C Data and C Stream interfaces: one
// struct array whose children are the columns, their buffers the table's
// own. Each array exported, and each of its children, holds the table
// until released, since a consumer may keep a child and let go of the rest.
#include <cerrno>

#include "table/table.h"

using namespace csv_line::table;

namespace {

const char *format_of(Kind kind)
{
    switch (kind) {
    case INT: return "l";
    case FLOAT: return "g";
    case BOOL: return "b";
    case DATE: return "tdD";
    case TIMESTAMP: return "tsu:UTC";
    default: return "U";
    }
}

char *copy_of(const char *text, size_t length)
{
    char *copy = static_cast<char *>(std::malloc(length + 1));
    if (copy != nullptr) {
        std::memcpy(copy, text, length);
        copy[length] = '\0';
    }
    return copy;
}

struct SchemaHeld {
    char *name = nullptr;
    ArrowSchema **children = nullptr;
    ArrowSchema *child_block = nullptr;
    int64_t count = 0;
};

void release_schema(ArrowSchema *schema)
{
    SchemaHeld *held = static_cast<SchemaHeld *>(schema->private_data);
    for (int64_t k = 0; k < held->count; k++)
        if (held->child_block[k].release != nullptr)
            held->child_block[k].release(&held->child_block[k]);
    std::free(held->name);
    std::free(held->children);
    std::free(held->child_block);
    free_objects(held, 1);
    schema->release = nullptr;
}

bool fill_schema(ArrowSchema *schema, const char *format, const char *name, size_t length, int64_t flags)
{
    SchemaHeld *held = make_objects<SchemaHeld>(1);
    if (held == nullptr)
        return false;
    held->name = copy_of(name, length);
    if (held->name == nullptr) {
        free_objects(held, 1);
        return false;
    }
    *schema = ArrowSchema{format, held->name, nullptr, flags, 0, nullptr, nullptr, release_schema, held};
    return true;
}

int export_schema(const csv_line_table *table, ArrowSchema *schema)
{
    if (!fill_schema(schema, "+s", "", 0, 0))
        return ENOMEM;
    SchemaHeld *held = static_cast<SchemaHeld *>(schema->private_data);
    const size_t count = static_cast<size_t>(table->count);
    held->children = static_cast<ArrowSchema **>(std::calloc(count + 1, sizeof(ArrowSchema *)));
    held->child_block = static_cast<ArrowSchema *>(std::calloc(count + 1, sizeof(ArrowSchema)));
    if (held->children == nullptr || held->child_block == nullptr) {
        release_schema(schema);
        return ENOMEM;
    }
    held->count = static_cast<int64_t>(count);
    for (size_t k = 0; k < count; k++) {
        const Column &column = table->columns[k];
        held->children[k] = &held->child_block[k];
        if (!fill_schema(&held->child_block[k], format_of(column.kind), column.name,
                         static_cast<size_t>(column.name_length), ARROW_FLAG_NULLABLE)) {
            release_schema(schema);
            return ENOMEM;
        }
    }
    schema->n_children = held->count;
    schema->children = held->children;
    return 0;
}

struct ArrayHeld {
    csv_line_table *table = nullptr;
    const void *buffers[3] = {};
    ArrowArray **children = nullptr;
    ArrowArray *child_block = nullptr;
    int64_t count = 0;
};

void release_array(ArrowArray *array)
{
    ArrayHeld *held = static_cast<ArrayHeld *>(array->private_data);
    for (int64_t k = 0; k < held->count; k++)
        if (held->child_block[k].release != nullptr)
            held->child_block[k].release(&held->child_block[k]);
    std::free(held->children);
    std::free(held->child_block);
    let_go(held->table);
    free_objects(held, 1);
    array->release = nullptr;
}

// An array that holds the table; its buffers set by the caller.
ArrayHeld *hold(csv_line_table *table, ArrowArray *array, int64_t n_buffers)
{
    ArrayHeld *held = make_objects<ArrayHeld>(1);
    if (held == nullptr)
        return nullptr;
    held->table = table;
    table->holders.fetch_add(1, std::memory_order_relaxed);
    *array = ArrowArray{table->rows, 0, 0, n_buffers, 0, held->buffers, nullptr, nullptr, release_array, held};
    return held;
}

int export_array(csv_line_table *table, ArrowArray *array)
{
    ArrayHeld *held = hold(table, array, 1);
    if (held == nullptr)
        return ENOMEM;
    const size_t count = static_cast<size_t>(table->count);
    held->children = static_cast<ArrowArray **>(std::calloc(count + 1, sizeof(ArrowArray *)));
    held->child_block = static_cast<ArrowArray *>(std::calloc(count + 1, sizeof(ArrowArray)));
    if (held->children == nullptr || held->child_block == nullptr) {
        release_array(array);
        return ENOMEM;
    }
    held->count = static_cast<int64_t>(count);
    for (size_t k = 0; k < count; k++) {
        const Column &column = table->columns[k];
        const bool text = column.kind == TEXT || column.kind == NONE;
        ArrayHeld *child = hold(table, &held->child_block[k], text ? 3 : 2);
        if (child == nullptr) {
            release_array(array);
            return ENOMEM;
        }
        held->children[k] = &held->child_block[k];
        held->child_block[k].null_count = column.missing;
        child->buffers[0] = column.missing > 0 ? column.validity.data : nullptr;
        child->buffers[1] = or_no_bytes(column.values.data);
        if (text)
            child->buffers[2] = or_no_bytes(column.bytes.data);
    }
    array->n_children = held->count;
    array->children = held->children;
    return 0;
}

struct StreamHeld {
    csv_line_table *table = nullptr;
    bool given = false;  // the one array has been handed
};

int stream_schema(ArrowArrayStream *stream, ArrowSchema *out)
{
    return export_schema(static_cast<StreamHeld *>(stream->private_data)->table, out);
}

int stream_next(ArrowArrayStream *stream, ArrowArray *out)
{
    StreamHeld *held = static_cast<StreamHeld *>(stream->private_data);
    if (held->given) {
        std::memset(out, 0, sizeof *out);  // the end: an array released already
        return 0;
    }
    const int said = export_array(held->table, out);
    held->given = said == 0;
    return said;
}

const char *stream_error(ArrowArrayStream *)
{
    return nullptr;
}

void release_stream(ArrowArrayStream *stream)
{
    StreamHeld *held = static_cast<StreamHeld *>(stream->private_data);
    let_go(held->table);
    free_objects(held, 1);
    stream->release = nullptr;
}

}  // namespace

extern "C" {

CSV_LINE_API int csv_line_table_export(csv_line_table *table, ArrowSchema *schema, ArrowArray *array)
{
    if (table == nullptr || schema == nullptr || array == nullptr || table->error.code != CSV_LINE_OK)
        return EINVAL;
    const int said = export_schema(table, schema);
    if (said != 0)
        return said;
    const int made = export_array(table, array);
    if (made != 0)
        schema->release(schema);
    return made;
}

CSV_LINE_API int csv_line_table_export_stream(csv_line_table *table, ArrowArrayStream *stream)
{
    if (table == nullptr || stream == nullptr || table->error.code != CSV_LINE_OK)
        return EINVAL;
    StreamHeld *held = make_objects<StreamHeld>(1);
    if (held == nullptr)
        return ENOMEM;
    held->table = table;
    table->holders.fetch_add(1, std::memory_order_relaxed);
    *stream = ArrowArrayStream{stream_schema, stream_next, stream_error, release_stream, held};
    return 0;
}

}  // extern "C"
