// The reader on several threads. The input from where the reader stands
// is cut into parts, read in order into a ring of slots; worker threads
// index each part as if it began outside quotes, which it most often does,
// and check its records. The parts are then taken in order: the quotes of
// the parts before one say in which state it truly begins, and a part
// indexed from the wrong one is indexed again. A part's first bytes, up to
// its first record start, end the record left open by the part before;
// that record is put together from both and handed over first, then the
// part's own records.
//
// Whatever one thread would do otherwise (a record over the limit, the
// input's last record, which may have no LF), the threads stop and the
// reader on one thread goes on from that record with the bytes they hold:
// what it does from a record start depends only on the bytes from there,
// so the records, lines, problems and errors are those of one thread.

#include <errno.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "reader.h"

namespace reading {

namespace {

// A part: large enough that its first record, put together from two
// parts, costs little beside it; small enough that the parts read ahead
// on every thread cost little memory beside the record limit.
constexpr size_t PART_SIZE = 1 << 18;

enum class Stage {
    free,      // holds nothing of use
    filled,    // read, waiting for a worker
    indexing,  // a worker indexes it
    indexed,   // indexed, waiting for its turn
    ready,     // its turn came: a worker hands its records to the callback (for_each)
    calling    // a worker's callback has it
};

struct Slot {
    Stage stage;
    long long part;    // its place among the parts
    long long offset;  // the input's byte at bytes[0]
    const char *bytes;
    char *owned;  // its buffer, for a descriptor or stream
    size_t length;
    bool last;       // the input ends with it
    int read_error;  // errno of a failed read, or 0
    bool at_record;  // it begins at a record start (the first part)

    // What indexing found, from the state `guess` at bytes[0].
    int guess;
    Tables tables;
    csv_line_error error;   // out of memory
    int made;          // records made, the part's own
    int head_end;      // the bytes before it that end the record open before: -1 when no record ends in it
    int tail;          // where its last record, left open, begins
    long long quotes, line_feeds;
    long long tail_line;  // LFs before the tail
    int longest;          // bytes of its longest record
    int first_flagged;    // its first flagged record, or made

    // Set in its turn.
    long long line;      // the physical line of bytes[0]
    long long sequence;  // its batch's
    int count;           // records to hand over
};

}  // namespace

struct Threads {
    pthread_mutex_t lock;
    // Each side waits on its own condition, so that a change wakes only
    // the side it concerns: workers for a slot read or ready (or leaving),
    // the caller's thread for a slot indexed or handed back.
    pthread_cond_t for_workers, for_caller;
    pthread_t ids[256];
    int started;
    bool leaving;

    Slot *slots;
    int slot_count;
    size_t part_size;
    long long parts_read;  // parts read so far
    long long next_part;   // the next part to take in order
    long long read_offset; // the input's byte where the next part begins
    bool source_done;

    // In order: where the next part begins.
    int state;
    long long line;

    // The record left open by the parts taken so far.
    char *carry;
    size_t carry_size, carry_capacity;
    long long carry_offset, carry_line;
    Tables carry_tables;

    Slot *handed;   // its records are the caller's until the next call
    Slot *pending;  // taken: its own records go on the next call

    // for_each's callback, and what it said.
    csv_line_batch_fn fn;
    void *context;
    int stopped_by;
};

namespace {

// Indexes the part from `state` and makes its records, lines counted from
// 0 at its first byte. (On a worker, or in its turn when the guess was
// wrong; only the slot is written.)
void index_part(const csv_line_reader *reader, Slot &slot, int state)
{
    Tables &tables = slot.tables;
    slot.guess = state;
    // When the tables fill, they grow and indexing goes on from the record
    // left out, which begins outside quotes; what it finds is added to
    // what was found, its positions moved to count from the part's start.
    csv_line_index index = {};
    for (int base = 0;;) {
        csv_line_index more = {tables.fields + index.field_count, tables.field_capacity - index.field_count,
                          tables.starts + index.record_count, tables.start_capacity - index.record_count,
                          base == 0 ? state : 0, 0, 0, 0, 0, 0, 0};
        parse_csv_records(slot.bytes + base, static_cast<int>(slot.length) - base, reader->separator, &more);
        for (int k = 0; k < more.field_count; k++)
            more.fields[k].start += base;
        for (int r = 0; r < more.record_count; r++)
            more.records[r] += index.field_count;
        index.record_count += more.record_count;
        index.field_count += more.field_count;
        index.next = base + more.next;
        index.quotes += more.quotes;
        index.line_feeds += more.line_feeds;
        if (!more.full)
            break;
        base = index.next;
        if (!tables.reserve_fields(&slot.error, 2LL * tables.field_capacity) ||
            !tables.reserve_records(&slot.error, 2LL * tables.start_capacity))
            return;
    }
    const int from = slot.at_record ? 0 : 1;
    if (slot.at_record)
        slot.head_end = 0;
    else if (index.record_count == 0)
        slot.head_end = -1;
    else
        slot.head_end = index.record_count >= 2 ? tables.fields[tables.starts[1]].start : index.next;
    slot.tail = slot.head_end < 0 ? static_cast<int>(slot.length) : index.next;
    slot.quotes = index.quotes;
    slot.line_feeds = index.line_feeds;
    long long line = slot.head_end > 0 ? count_line_feeds(slot.bytes, static_cast<size_t>(slot.head_end)) : 0;
    slot.made = 0;
    if (index.record_count > from) {
        const Check check = {&slot.error, true, 0, index.quotes != 0, index.line_feeds > index.record_count};
        slot.made = check_records(check, tables, slot.bytes, from, index.record_count, index.field_count,
                                  slot.offset, &line);
        if (slot.made < 0) {
            slot.made = 0;
            return;
        }
        point_decoded(tables);
    }
    slot.tail_line = line;
    slot.longest = 0;
    slot.first_flagged = slot.made;
    for (int r = 0; r < slot.made; r++) {
        const long long end = r + 1 < slot.made ? tables.records[r + 1].offset : slot.offset + index.next;
        const long long bytes = end - tables.records[r].offset;
        if (bytes > slot.longest)
            slot.longest = static_cast<int>(bytes);
        if (tables.records[r].flags != 0 && slot.first_flagged == slot.made)
            slot.first_flagged = r;
    }
}

// Gives the records handed from a slot their lines and its batch.
void slot_batch(Slot &slot, csv_line_batch *batch)
{
    Tables &tables = slot.tables;
    for (int r = 0; r < slot.count; r++)
        tables.records[r].line += slot.line;
    fill_batch(tables, slot.bytes, slot.count, slot.sequence, batch);
    // Only the values of the records handed over.
    if (slot.count < slot.made) {
        const int end = slot.count > 0 ? tables.records[slot.count - 1].field + tables.records[slot.count - 1].count : 0;
        int decoded = 0;
        while (decoded < tables.decoded_count && tables.decoded[decoded].field < end)
            decoded++;
        batch->decoded_count = decoded;
    }
}

// A worker: hands ready slots to the callback, first, since that frees
// them, and indexes read ones.
void *work(void *arg)
{
    csv_line_reader *reader = static_cast<csv_line_reader *>(arg);
    Threads &threads = *reader->workers;
    pthread_mutex_lock(&threads.lock);
    while (!threads.leaving) {
        Slot *ready = nullptr, *filled = nullptr;
        for (int k = 0; k < threads.slot_count; k++) {
            Slot &slot = threads.slots[k];
            // The earliest first, so that a callback that waits for the
            // batches before its own waits for ones already under way.
            if (slot.stage == Stage::ready && (ready == nullptr || slot.sequence < ready->sequence))
                ready = &slot;
            if (slot.stage == Stage::filled && (filled == nullptr || slot.part < filled->part))
                filled = &slot;
        }
        if (ready != nullptr) {
            ready->stage = Stage::calling;
            const bool call = threads.stopped_by == 0;
            pthread_mutex_unlock(&threads.lock);
            csv_line_batch batch;
            slot_batch(*ready, &batch);
            const int said = call && batch.count > 0 ? threads.fn(&batch, threads.context) : 0;
            pthread_mutex_lock(&threads.lock);
            if (said != 0 && threads.stopped_by == 0)
                threads.stopped_by = said;
            ready->stage = Stage::free;
            pthread_cond_signal(&threads.for_caller);
        } else if (filled != nullptr) {
            filled->stage = Stage::indexing;
            pthread_mutex_unlock(&threads.lock);
            index_part(reader, *filled, 0);
            pthread_mutex_lock(&threads.lock);
            filled->stage = Stage::indexed;
            pthread_cond_signal(&threads.for_caller);
        } else {
            pthread_cond_wait(&threads.for_workers, &threads.lock);
        }
    }
    pthread_mutex_unlock(&threads.lock);
    return nullptr;
}

// Reads the next part into the slot, which the caller's thread owns: the
// bytes the reader held first, then the source. Memory is not copied.
void read_part(csv_line_reader *reader, Threads &threads, Slot &slot)
{
    slot.part = threads.parts_read++;
    slot.offset = threads.read_offset;
    slot.at_record = slot.part == 0;
    slot.read_error = 0;
    slot.error = csv_line_error{};
    if (reader->memory != nullptr) {
        const size_t at = static_cast<size_t>(slot.offset);
        const size_t left = reader->memory_size - at;
        slot.bytes = reader->memory + at;
        slot.length = left < threads.part_size ? left : threads.part_size;
        slot.last = slot.length == left;
    } else {
        // Through the reader's own buffer, which holds what it read ahead
        // before the threads began, and then reads the source in large
        // pieces however small the parts.
        slot.bytes = slot.owned;
        slot.length = 0;
        slot.last = false;
        while (slot.length < threads.part_size) {
            if (reader->at == reader->held && threads.part_size - slot.length >= reader->capacity) {
                // Room for a whole read: straight into the part.
                const long long got = read_more(reader, slot.owned + slot.length, threads.part_size - slot.length);
                if (got <= 0) {
                    slot.read_error = got < 0 ? (errno != 0 ? errno : EIO) : 0;
                    slot.last = true;
                    break;
                }
                slot.length += static_cast<size_t>(got);
                continue;
            }
            if (reader->at == reader->held) {
                reader->at = reader->held = 0;
                const long long got = read_more(reader, reader->buffer, reader->capacity);
                if (got <= 0) {
                    slot.read_error = got < 0 ? (errno != 0 ? errno : EIO) : 0;
                    slot.last = true;
                    break;
                }
                reader->held = static_cast<size_t>(got);
            }
            const size_t held = reader->held - reader->at, room = threads.part_size - slot.length;
            const size_t taken = held < room ? held : room;
            std::memcpy(slot.owned + slot.length, reader->buffer + reader->at, taken);
            reader->at += taken;
            slot.length += taken;
        }
    }
    threads.read_offset += static_cast<long long>(slot.length);
    threads.source_done = slot.last;
}

// Reads parts into the free slots, as far as the input goes.
void read_ahead(csv_line_reader *reader, Threads &threads)
{
    for (;;) {
        Slot *free_slot = nullptr;
        pthread_mutex_lock(&threads.lock);
        if (!threads.source_done)
            for (int k = 0; k < threads.slot_count && free_slot == nullptr; k++)
                if (threads.slots[k].stage == Stage::free)
                    free_slot = &threads.slots[k];
        pthread_mutex_unlock(&threads.lock);
        if (free_slot == nullptr)
            return;
        read_part(reader, threads, *free_slot);
        pthread_mutex_lock(&threads.lock);
        free_slot->stage = Stage::filled;
        pthread_cond_signal(&threads.for_workers);
        pthread_mutex_unlock(&threads.lock);
    }
}

// The part whose turn it is, indexed (here, when no worker took it), or
// null when every part was taken.
Slot *next_in_order(csv_line_reader *reader, Threads &threads)
{
    read_ahead(reader, threads);
    pthread_mutex_lock(&threads.lock);
    Slot *slot = nullptr;
    for (int k = 0; k < threads.slot_count && slot == nullptr; k++)
        if (threads.slots[k].stage != Stage::free && threads.slots[k].part == threads.next_part)
            slot = &threads.slots[k];
    // A part no worker has taken yet is indexed here rather than waited for.
    const bool here = slot != nullptr && slot->stage == Stage::filled;
    if (here)
        slot->stage = Stage::indexing;
    else
        while (slot != nullptr && slot->stage != Stage::indexed)
            pthread_cond_wait(&threads.for_caller, &threads.lock);
    pthread_mutex_unlock(&threads.lock);
    if (here) {
        index_part(reader, *slot, threads.state);
        pthread_mutex_lock(&threads.lock);
        slot->stage = Stage::indexed;
        pthread_mutex_unlock(&threads.lock);
    }
    return slot;
}

void free_slot(Threads &threads, Slot *slot)
{
    pthread_mutex_lock(&threads.lock);
    slot->stage = Stage::free;
    pthread_mutex_unlock(&threads.lock);
}

bool carry_append(csv_line_reader *reader, Threads &threads, const char *bytes, size_t n)
{
    if (n == 0)
        return true;
    if (threads.carry_size + n > threads.carry_capacity) {
        size_t capacity = threads.carry_capacity > 0 ? threads.carry_capacity : 1 << 16;
        while (capacity < threads.carry_size + n)
            capacity *= 2;
        char *bigger = static_cast<char *>(std::realloc(threads.carry, capacity));
        if (bigger == nullptr) {
            fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
            return false;
        }
        threads.carry = bigger;
        threads.carry_capacity = capacity;
    }
    std::memcpy(threads.carry + threads.carry_size, bytes, n);
    threads.carry_size += n;
    return true;
}

// Stops the workers, once the callbacks under way have returned.
void join_workers(Threads &threads)
{
    pthread_mutex_lock(&threads.lock);
    for (bool busy = true; busy;) {
        busy = false;
        for (int k = 0; k < threads.slot_count; k++)
            busy |= threads.slots[k].stage == Stage::ready || threads.slots[k].stage == Stage::calling ||
                    threads.slots[k].stage == Stage::indexing;
        if (busy)
            pthread_cond_wait(&threads.for_caller, &threads.lock);
    }
    threads.leaving = true;
    pthread_cond_broadcast(&threads.for_workers);
    pthread_mutex_unlock(&threads.lock);
    for (int k = 0; k < threads.started; k++)
        pthread_join(threads.ids[k], nullptr);
    threads.started = 0;
}

// The reader on one thread goes on from the record that begins at the
// input's byte `offset`, on `line`: from the carried record, when it is
// that one, and the bytes of `slot` from `from` on, then of the parts
// read after it, then the source.
bool hand_over(csv_line_reader *reader, Threads &threads, long long offset, long long line, Slot *slot, size_t from)
{
    join_workers(threads);
    reader->one_thread = true;
    reader->line = line;
    reader->want = 1;
    reader->skip_line_next = false;
    if (reader->memory != nullptr) {
        reader->at = reader->resume_at = reader->held = static_cast<size_t>(offset);
        reader->ended = false;
        return true;
    }
    const int most = threads.slot_count + 2;
    reader->pieces = static_cast<Piece *>(std::calloc(static_cast<size_t>(most), sizeof(Piece)));
    if (reader->pieces == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    // What the buffer read of the source and no part took yet comes last.
    Piece unread = {reader->buffer + reader->at, reader->held - reader->at, reader->buffer};
    reader->buffer = nullptr;
    reader->capacity = 0;
    int count = 0;
    reader->at = reader->resume_at = reader->held = 0;
    reader->offset = offset;
    if (threads.carry_size > 0 && offset == threads.carry_offset) {
        // The carried record's bytes become the reader's buffer, which the
        // record over the limit fills: held once, not twice.
        reader->buffer = threads.carry;
        reader->capacity = threads.carry_capacity;
        reader->held = threads.carry_size;
        threads.carry = nullptr;
        threads.carry_size = threads.carry_capacity = 0;
    }
    for (long long part = slot != nullptr ? slot->part : threads.parts_read; part < threads.parts_read; part++)
        for (int k = 0; k < threads.slot_count; k++) {
            Slot &held = threads.slots[k];
            if (held.stage == Stage::free || held.part != part)
                continue;
            const size_t skip = &held == slot ? from : 0;
            reader->pieces[count++] = {held.bytes + skip, held.length - skip, held.owned};
            held.owned = nullptr;
            held.stage = Stage::free;
        }
    reader->pieces[count++] = unread;
    reader->piece_count = count;
    reader->piece_next = 0;
    reader->piece_taken = 0;
    reader->ended = false;
    // The threads are done with: what they hold goes now, but for the
    // tables of the batch that may still be the caller's.
    for (int k = 0; k < threads.slot_count; k++) {
        std::free(threads.slots[k].owned);
        threads.slots[k].owned = nullptr;
        if (&threads.slots[k] != slot)
            threads.slots[k].tables.release();
    }
    return true;
}

// The read error of a part, said in its turn.
bool read_failed(csv_line_reader *reader, const Slot &slot)
{
    if (slot.read_error == 0 && slot.error.code == CSV_LINE_OK)
        return false;
    if (slot.error.code != CSV_LINE_OK) {
        reader->error = slot.error;
    } else {
        errno = slot.read_error;
        fail_io(&reader->error, reader->name);
    }
    reader->failed = true;
    return true;
}

// What a part's turn gives.
enum class Turn {
    carried,  // the carried record, completed by the part, is in `stitched`; the part's own come next
    own,      // the part's records (count of them) are to be handed over
    next,     // nothing to hand over: take the next part
    over,     // the reader on one thread goes on
    failed    // an error, said
};

// Takes the part in its turn: its state checked, the record open before it
// completed from its first bytes. Fills `stitched` for Turn::carried.
Turn take_part(csv_line_reader *reader, Threads &threads, Slot &slot, csv_line_batch *stitched)
{
    if (slot.guess != threads.state)
        index_part(reader, slot, threads.state);
    if (slot.error.code != CSV_LINE_OK && slot.read_error == 0)
        return read_failed(reader, slot), Turn::failed;
    slot.line = threads.line;
    if (slot.at_record) {
        threads.carry_offset = slot.offset;
        threads.carry_line = slot.line;
        return Turn::own;
    }
    const size_t head = slot.head_end < 0 ? slot.length : static_cast<size_t>(slot.head_end);
    if (threads.carry_size == 0) {
        threads.carry_offset = slot.offset;
        threads.carry_line = slot.line;
    }
    if (threads.carry_size + head > static_cast<size_t>(reader->limit) ||
        (slot.head_end < 0 && slot.last && slot.read_error == 0))
        return hand_over(reader, threads, threads.carry_offset, threads.carry_line, &slot, 0) ? Turn::over
                                                                                          : Turn::failed;
    if (!carry_append(reader, threads, slot.bytes, head))
        return Turn::failed;
    if (slot.head_end < 0) {
        if (read_failed(reader, slot))
            return Turn::failed;
        threads.state ^= static_cast<int>(slot.quotes & 1);
        threads.line += slot.line_feeds;
        return Turn::next;
    }
    if (threads.carry_size == 0)
        return Turn::own;
    // The carried record, whole: split as the reader on one thread would.
    Tables &tables = threads.carry_tables;
    const int n = split_record(tables, &reader->error, reader->separator, threads.carry,
                               static_cast<int>(threads.carry_size));
    if (n < 0)
        return Turn::failed;
    if (!tables.reserve_records(&reader->error, 1))
        return Turn::failed;
    tables.starts[0] = 0;
    long long line = threads.carry_line;
    const Check check = {&reader->error, reader->lenient, 0, true};
    const int made = check_records(check, tables, threads.carry, 0, 1, n, threads.carry_offset, &line);
    if (made <= 0) {
        reader->failed = true;
        return Turn::failed;
    }
    point_decoded(tables);
    fill_batch(tables, threads.carry, 1, reader->sequence++, stitched);
    return Turn::carried;
}

// After the carried record: the part's own records, up to the first that
// one thread would not hand over as it is (one over the limit, or with a
// problem that a strict reader says). Returns how many, and leaves
// threads.pending set when all were; -1 when the reader on one thread
// goes on at once (or on an error, said).
int own_records(csv_line_reader *reader, Threads &threads, Slot &slot)
{
    int count = reader->lenient ? slot.made : slot.first_flagged;
    if (slot.longest > reader->limit)
        for (int r = 0; r < count; r++) {
            const long long end = r + 1 < slot.made ? slot.tables.records[r + 1].offset : slot.offset + slot.tail;
            if (end - slot.tables.records[r].offset > reader->limit) {
                count = r;
                break;
            }
        }
    if (count < slot.made) {
        threads.pending = nullptr;
        if (count == 0) {
            const csv_line_record &record = slot.tables.records[0];
            hand_over(reader, threads, record.offset, record.line + slot.line, &slot,
                      static_cast<size_t>(record.offset - slot.offset));
            return -1;
        }
    } else {
        threads.state ^= static_cast<int>(slot.quotes & 1);
        threads.line += slot.line_feeds;
        threads.carry_size = 0;
        threads.carry_offset = slot.offset + slot.tail;
        threads.carry_line = slot.line + slot.tail_line;
        if (!carry_append(reader, threads, slot.bytes + slot.tail, slot.length - static_cast<size_t>(slot.tail)))
            return -1;
    }
    slot.count = count;
    if (count > 0)  // a part without a record of its own hands no batch
        slot.sequence = reader->sequence++;
    return count;
}

bool start_threads(csv_line_reader *reader)
{
    Threads *threads = static_cast<Threads *>(std::calloc(1, sizeof(Threads)));
    if (threads == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    reader->workers = threads;
    pthread_mutex_init(&threads->lock, nullptr);
    pthread_cond_init(&threads->for_workers, nullptr);
    pthread_cond_init(&threads->for_caller, nullptr);
    const int workers = reader->threads < 256 ? reader->threads : 256;
    threads->slot_count = 2 * workers + 2;
    threads->part_size = PART_SIZE;
    if (const char *size = std::getenv("CSV_LINE_PART_SIZE")) {  // for tests: many small parts
        const long long asked = std::atoll(size);
        if (asked > 0 && asked <= (1 << 30))
            threads->part_size = static_cast<size_t>(asked);
    }
    threads->read_offset = reader->offset + static_cast<long long>(reader->at);
    threads->line = reader->line;
    threads->slots = static_cast<Slot *>(std::calloc(static_cast<size_t>(threads->slot_count), sizeof(Slot)));
    if (threads->slots == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    for (int k = 0; k < threads->slot_count; k++) {
        Slot &slot = threads->slots[k];
        if ((reader->memory == nullptr && (slot.owned = static_cast<char *>(std::malloc(threads->part_size))) == nullptr) ||
            !slot.tables.reserve_fields(&reader->error, static_cast<long long>(threads->part_size / 8) + 16) ||
            !slot.tables.reserve_records(&reader->error, static_cast<long long>(threads->part_size / 64) + 16)) {
            reader->failed = true;
            return false;
        }
    }
    if (!threads->carry_tables.reserve_fields(&reader->error, 64) || !threads->carry_tables.reserve_records(&reader->error, 1))
        return false;
    while (threads->started < workers &&
           pthread_create(&threads->ids[threads->started], nullptr, work, reader) == 0)
        threads->started++;
    return true;
}

// What is left when every part was taken: the last record, which may have
// no LF, goes to the reader on one thread.
bool finish(csv_line_reader *reader, Threads &threads)
{
    return hand_over(reader, threads, threads.carry_offset, threads.carry_line, nullptr, 0);
}

}  // namespace

// Starts the threads on the first call; false after an error, said.
static bool running(csv_line_reader *reader)
{
    if (reader->failed || reader->error.code != CSV_LINE_OK) {
        reader->failed = true;
        return false;
    }
    if (reader->workers != nullptr || reader->one_thread)
        return true;
    // After a header line over the limit, whose rest one thread drops,
    // one thread goes on.
    if (reader->skip_line_next) {
        reader->one_thread = true;
        return true;
    }
    reader->at = reader->resume_at;
    return start_threads(reader);
}

// Hands over the part's own records into *batch, and after the first that
// stops the threads, the reader on one thread goes on from there. Returns
// how many, or -1 after an error.
static int hand_own(csv_line_reader *reader, Threads &threads, Slot &slot, int count, csv_line_batch *batch)
{
    const bool stops = threads.pending == nullptr;
    threads.pending = nullptr;
    slot_batch(slot, batch);
    if (stops) {
        // The slot's bytes and tables stay for the batch: the hand-over
        // takes its bytes, and its tables are kept until the reader closes.
        const csv_line_record &record = slot.tables.records[count];  // its line not yet the input's
        if (!hand_over(reader, threads, record.offset, record.line + slot.line, &slot,
                       static_cast<size_t>(record.offset - slot.offset)))
            return -1;
    }
    return count;
}

namespace {

// What one step of the drivers found in the next part in order.
enum class Found {
    carried,  // the record open before the part, completed, is in *stitched; the part is pending
    own,      // the part's own records, slot->count of them, pending unless one stops the threads
    nothing,  // no record ends in the part: take the next
    over,     // the reader on one thread goes on (or, with the reader's error set, stops)
    failed    // an error, said
};

// The drivers' one step: the pending part, or the next in order, taken in
// its turn. The carried record comes first; the part's own records next,
// counted. Every part is taken here, so that next and for_each hand over
// the same batches.
Found step(csv_line_reader *reader, Threads &threads, Slot *&slot, csv_line_batch *stitched)
{
    slot = threads.pending;
    threads.pending = nullptr;
    if (slot == nullptr) {
        slot = next_in_order(reader, threads);
        if (slot == nullptr)
            return finish(reader, threads) ? Found::over : Found::failed;
        threads.next_part++;
        switch (take_part(reader, threads, *slot, stitched)) {
        case Turn::failed:
            return Found::failed;
        case Turn::carried:
            threads.pending = slot;
            return Found::carried;
        case Turn::next:
            free_slot(threads, slot);
            return Found::nothing;
        case Turn::over:
            return Found::over;
        case Turn::own:
            break;
        }
    }
    threads.pending = slot;
    if (own_records(reader, threads, *slot) < 0)
        return reader->error.code != CSV_LINE_OK ? Found::failed : Found::over;
    return Found::own;
}

}  // namespace

int next_parallel(csv_line_reader *reader, csv_line_batch *batch)
{
    if (!running(reader))
        return -1;
    if (reader->workers == nullptr)
        return next_batch(reader, batch);
    Threads &threads = *reader->workers;
    if (threads.handed != nullptr) {
        free_slot(threads, threads.handed);
        threads.handed = nullptr;
    }
    while (!reader->one_thread) {
        Slot *slot;
        const Found found = step(reader, threads, slot, batch);
        if (found == Found::failed)
            return -1;
        if (found == Found::carried)
            return 1;
        if (found == Found::over)
            break;
        if (found == Found::nothing)
            continue;
        if (slot->count == 0) {
            threads.pending = nullptr;
            free_slot(threads, slot);
            if (read_failed(reader, *slot))
                return -1;
            continue;
        }
        const int handed = hand_own(reader, threads, *slot, slot->count, batch);
        if (!reader->one_thread)
            threads.handed = slot;
        if (slot->last && slot->read_error != 0)
            read_failed(reader, *slot);  // said on the next call
        return handed;
    }
    return next_batch(reader, batch);
}

int for_each_parallel(csv_line_reader *reader, csv_line_batch_fn fn, void *context)
{
    if (!running(reader))
        return -1;
    if (reader->workers == nullptr)
        return for_each_batch(reader, fn, context);
    Threads &threads = *reader->workers;
    threads.fn = fn;
    threads.context = context;
    // Where csv_line_reader_next left off: its last batch is done with, and a
    // part whose carried record it handed still has its own to hand.
    if (threads.handed != nullptr) {
        free_slot(threads, threads.handed);
        threads.handed = nullptr;
    }
    int said = 0;
    while (!reader->one_thread) {
        if (said == 0) {
            pthread_mutex_lock(&threads.lock);
            said = threads.stopped_by;
            pthread_mutex_unlock(&threads.lock);
        }
        if (said != 0)
            break;
        Slot *slot;
        csv_line_batch batch;
        const Found found = step(reader, threads, slot, &batch);
        if (found == Found::failed || found == Found::over)
            break;
        if (found == Found::nothing)
            continue;
        if (found == Found::carried) {
            said = fn(&batch, context);
            continue;
        }
        if (threads.pending == nullptr || (slot->last && slot->read_error != 0)) {
            // The records before the one that stops the threads, here.
            if (hand_own(reader, threads, *slot, slot->count, &batch) > 0)
                said = fn(&batch, context);
            if (slot->last && slot->read_error != 0 && read_failed(reader, *slot))
                break;
            continue;
        }
        threads.pending = nullptr;
        pthread_mutex_lock(&threads.lock);
        slot->stage = slot->count > 0 ? Stage::ready : Stage::free;
        pthread_cond_signal(&threads.for_workers);
        pthread_mutex_unlock(&threads.lock);
    }
    // A part whose carried record the callback stopped at hands nothing more.
    if (said != 0)
        threads.pending = nullptr;
    if (threads.started > 0)
        join_workers(threads);
    pthread_mutex_lock(&threads.lock);
    if (said == 0)
        said = threads.stopped_by;
    pthread_mutex_unlock(&threads.lock);
    if (said != 0)
        return said;
    if (reader->failed || reader->error.code != CSV_LINE_OK)
        return -1;
    return for_each_batch(reader, fn, context);
}

void stop_threads(csv_line_reader *reader)
{
    Threads *threads = reader->workers;
    if (threads == nullptr)
        return;
    if (threads->started > 0) {
        pthread_mutex_lock(&threads->lock);
        threads->leaving = true;
        pthread_cond_broadcast(&threads->for_workers);
        pthread_mutex_unlock(&threads->lock);
        for (int k = 0; k < threads->started; k++)
            pthread_join(threads->ids[k], nullptr);
    }
    for (int k = 0; threads->slots != nullptr && k < threads->slot_count; k++) {
        std::free(threads->slots[k].owned);
        threads->slots[k].tables.release();
    }
    std::free(threads->slots);
    std::free(threads->carry);
    threads->carry_tables.release();
    pthread_mutex_destroy(&threads->lock);
    pthread_cond_destroy(&threads->for_workers);
    pthread_cond_destroy(&threads->for_caller);
    std::free(threads);
    reader->workers = nullptr;
}

}  // namespace reading
