// A batch's tables, grown as records need and kept, and what a batch
// says of its fields.

#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "reader.h"

namespace reading {

// Grows *table to hold `need` entries of `size` bytes, doubling; false,
// with the error said, when memory runs out.
bool grow(csv_line_error *said, void **table, int *capacity, long long need, size_t size)
{
    if (need <= *capacity)
        return true;
    long long more = *capacity > 0 ? *capacity : 16;
    while (more < need)
        more *= 2;
    if (more > (1LL << 31) - 1)
        more = (1LL << 31) - 1;
    void *bigger = more >= need ? std::realloc(*table, static_cast<size_t>(more) * size) : nullptr;
    if (bigger == nullptr) {
        fail(said, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    *table = bigger;
    *capacity = static_cast<int>(more);
    return true;
}

bool Tables::reserve_fields(csv_line_error *said, long long need)
{
    return grow(said, reinterpret_cast<void **>(&fields), &field_capacity, need, sizeof *fields);
}

bool Tables::reserve_records(csv_line_error *said, long long need)
{
    return grow(said, reinterpret_cast<void **>(&starts), &start_capacity, need, sizeof *starts) &&
           grow(said, reinterpret_cast<void **>(&records), &record_capacity, need, sizeof *records);
}

void Tables::release()
{
    std::free(fields);
    std::free(starts);
    std::free(records);
    std::free(decoded);
    std::free(decoded_bytes);
    std::free(line_feeds);
    std::free(marks);
    *this = Tables{};
}

void point_decoded(Tables &tables)
{
    size_t used = 0;
    for (int k = 0; k < tables.decoded_count; k++) {
        csv_line_decoded &entry = tables.decoded[k];
        entry.value.data = tables.decoded_bytes + used;
        used += static_cast<size_t>(entry.value.length >= 0 ? entry.value.length : tables.fields[entry.field].length) + 1;
    }
}

void fill_batch(const Tables &tables, const char *text, int count, long long sequence, csv_line_batch *batch)
{
    batch->text = text;
    batch->fields = tables.fields;
    batch->records = tables.records;
    batch->count = count;
    batch->sequence = sequence;
    batch->decoded = tables.decoded;
    batch->decoded_count = tables.decoded_count;
}

int split_record(Tables &tables, csv_line_error *said, char separator, const char *text, int length, int most,
                 bool *cut)
{
    *cut = false;
    for (;;) {
        // Room for one field past the limit tells a record that has more.
        const int room = tables.field_capacity <= most ? tables.field_capacity : most + 1;
        const int n = parse_csv_fields(text, length, separator, tables.fields, room, nullptr);
        if (n < room)
            return n;
        if (room > most) {
            *cut = true;
            return most;
        }
        const long long twice = 2LL * tables.field_capacity + 16;
        if (!tables.reserve_fields(said, twice < most + 1LL ? twice : most + 1LL))
            return -1;
    }
}

}  // namespace reading

extern "C" {

// The entry for `field` in a batch whose entries are by field, ascending,
// and most often spread evenly: the search starts where the field's share
// of the batch's fields puts it, gallops to the side the entry lies on,
// and halves what is left. (The batch has records and entries.)
static const csv_line_decoded *search_entry(const csv_line_batch *batch, int field)
{
    const csv_line_decoded *decoded = batch->decoded;
    const int count = batch->decoded_count;
    const csv_line_record &last = batch->records[batch->count - 1];
    const long long fields = last.field + last.count;
    long long share = fields > 0 ? static_cast<long long>(field) * count / fields : 0;
    const int guess = static_cast<int>(share < 0 ? 0 : share >= count ? count - 1 : share);
    // The first entry at or past `field` lies in [low, high].
    int low, high;
    if (decoded[guess].field < field) {
        low = guess + 1;
        int probe = low;
        for (int step = 1; probe < count && decoded[probe].field < field; probe += step, step *= 2)
            low = probe + 1;
        high = probe < count ? probe : count;
    } else {
        high = guess;
        int probe = guess - 1;
        for (int step = 1; probe >= 0 && decoded[probe].field >= field; probe -= step, step *= 2)
            high = probe;
        low = probe + 1 > 0 ? probe + 1 : 0;
    }
    while (low < high) {
        const int middle = low + (high - low) / 2;
        if (decoded[middle].field < field)
            low = middle + 1;
        else
            high = middle;
    }
    return low < count && decoded[low].field == field ? &decoded[low] : nullptr;
}

// Where the last search of this thread ended: values are most often asked
// for field after field, so the next entry lies at or just past it.
static thread_local struct {
    const csv_line_decoded *entries;
    int at;
} last_found;

// The entry for `field`: just past the last one found, when the field lies
// there, else as search_entry finds it.
static const csv_line_decoded *decoded_entry(const csv_line_batch *batch, int field)
{
    const csv_line_decoded *decoded = batch->decoded;
    const int count = batch->decoded_count;
    if (count == 0 || batch->count == 0)
        return nullptr;
    if (last_found.entries == decoded && last_found.at < count && decoded[last_found.at].field <= field) {
        for (int k = last_found.at; k < count && k < last_found.at + 4; k++)
            if (decoded[k].field >= field) {
                last_found.at = k;
                return decoded[k].field == field ? &decoded[k] : nullptr;
            }
    }
    const csv_line_decoded *found = search_entry(batch, field);
    last_found = {decoded, found != nullptr ? static_cast<int>(found - decoded) : 0};
    return found;
}


csv_line_text csv_line_batch_decoded(const csv_line_batch *batch, int field)
{
    if (const csv_line_decoded *entry = decoded_entry(batch, field)) {
        if (entry->value.length < 0) {
            // Decoded now, into the bytes kept for it: the entry and its
            // bytes are the reader's, handed over read-only to keep them so.
            char *out = const_cast<char *>(entry->value.data);
            int malformed;  // said already, when the batch was checked
            const_cast<csv_line_decoded *>(entry)->value.length =
                reading::decode_value(batch->text, batch->fields[field], out, &malformed);
        }
        return entry->value;
    }
    const csv_line_field &f = batch->fields[field];
    const char *raw = batch->text + f.start;
    if (csv_line_field_quoted_whole(batch->text, &f))
        return {raw + 1, f.length - 2};
    return {raw, f.length};
}

int csv_line_batch_malformed(const csv_line_batch *batch, int field)
{
    const csv_line_decoded *entry = decoded_entry(batch, field);
    return entry != nullptr && entry->malformed;
}

}  // extern "C"
