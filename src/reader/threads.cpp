// The reader on several threads. The input, from where the reader stands,
// is cut into ranges that begin and end at record starts: each ends at the
// first record start past RANGE_SIZE bytes or LINE_BUDGET LFs, found from
// the parity of the quotes before it, and the LFs are counted on the way,
// so that a range's first line is known once it is cut. One thread cuts
// at a time, whichever is free (the caller's alone for a read function);
// a range is read whole into one batch by any thread, with tables that
// stay with it from input to input. Ranges are confirmed in input order:
// each batch gets its sequence there, and the first range with a problem
// stops the ranges after it. next takes the batches in turn; for_each
// calls back on the thread that read the batch, the earliest first, and
// reads a range on the thread that cut it, whose cache holds its bytes.
//
// What one thread would do otherwise (a record over the limit or of more
// fields than the field limit, the input's last bytes, which may end
// without an LF), the threads leave to the reader on one thread, which
// goes on from that record with the bytes they hold: what it does from a
// record start depends only on the bytes from there, so the records,
// lines, problems and errors are those of one thread.

#include <errno.h>
#include <pthread.h>

#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "reader.h"

namespace reading {

namespace {

// A range: large enough that its handing over costs little beside reading
// it, small enough that its tables stay in a core's cache and the ranges
// in flight cost little memory beside the record limit.
constexpr size_t RANGE_SIZE = 1 << 17;
// Bytes scanned at a time for a range's end.
constexpr size_t SEARCH_STEP = 1 << 14;
// The LFs after which a range ends at the next record start, however few
// its bytes: its records' tables stay about as small as usual ones.
constexpr long long LINE_BUDGET = 4096;

enum class Stage {
    free,       // holds nothing of use: the cutter may take it
    cutting,    // a thread cuts it
    cut,        // cut, waiting for a thread
    reading,    // a thread reads it
    read,       // read, waiting for the ranges before it
    confirmed,  // its batch has its sequence: to be handed over
    calling,    // a callback has its batch
    handed      // its batch was handed; its bytes stay for the reader on one thread
};

struct Range {
    Stage stage;
    long long number;  // its place among the ranges
    long long offset;  // the input's byte at bytes[0]
    long long line;    // the physical line of bytes[0]
    const char *bytes;
    size_t length;
    char *owned;  // its bytes, for a source not in memory
    size_t owned_capacity;

    // What reading it found.
    Tables tables;
    csv_line_batch batch;
    csv_line_error error;  // a strict reader's problem, or memory run out
    bool stops;            // no range after it is handed over
    long long stop_offset, stop_line;  // where one thread goes on, when no error stops it
};

}  // namespace

struct Threads {
    pthread_mutex_t lock;
    pthread_cond_t changed;  // a range changed stage, or the workers are to leave
    pthread_t ids[256];
    int started;  // the caller's count, for joining them
    int workers;   // workers asked for, set before any starts
    bool leaving;

    Range *ranges;
    int range_count;
    size_t range_size;

    bool cutting;      // a thread cuts a range: one at a time
    bool cut_over;     // no range is cut after the last: the rest is one thread's
    bool caller_cuts;  // the source is a read function, called on the caller's thread alone

    // The cutter's: where the next range begins, and the bytes read past
    // the last cut.
    long long cut_offset, cut_line;
    long long ranges_cut;
    char *tail;
    size_t tail_size, tail_capacity;
    bool source_ended;
    int source_errno;  // a read that failed, said once the bytes before it are read

    long long confirmed;  // ranges confirmed, in order
    long long taken;      // ranges whose batches csv_line_reader_next took
    Range *stopped;       // the confirmed range that stops the threads
    Range *handed;        // its batch is the caller's until the next call

    // for_each's callback, and what it said.
    csv_line_batch_fn fn;
    void *context;
    int stopped_by;
};

namespace {

// Indexes the range and checks its records into its batch: those before
// the first that one thread would not hand over as it is (one over the
// limit), or the first with a problem a strict reader says. Only the
// range is written.
void read_range(const csv_line_reader *reader, Range &range)
{
    Tables &tables = range.tables;
    range.error = csv_line_error{};
    range.stops = false;
    // When the tables fill, they grow and indexing goes on from the record
    // left out; what it finds is added, its positions counted from the
    // range's start.
    csv_line_index index = {};
    bool crowded = false;  // the record at index.next has more fields than the limit
    for (int base = 0;;) {
        csv_line_index more = {tables.fields + index.field_count, tables.field_capacity - index.field_count,
                               tables.starts + index.record_count, tables.start_capacity - index.record_count,
                               0, 0, 0, 0, 0, 0, 0};
        parse_csv_records(range.bytes + base, static_cast<int>(range.length) - base, reader->separator, &more);
        if (base > 0) {
            for (int k = 0; k < more.field_count; k++)
                more.fields[k].start += base;
            for (int r = 0; r < more.record_count; r++)
                more.records[r] += index.field_count;
        }
        index.record_count += more.record_count;
        index.field_count += more.field_count;
        index.next = base + more.next;
        index.quotes += more.quotes;
        index.line_feeds += more.line_feeds;
        if (!more.full)
            break;
        base = index.next;
        if (more.record_count == 0 && more.record_capacity > 0 && more.field_capacity > reader->field_limit) {
            crowded = true;
            break;
        }
        // The table that filled grows.
        const bool records_full = more.record_count == more.record_capacity;
        // A record that does not fit beside field_limit free entries has
        // more fields than the limit: the table grows no further.
        const long long twice = 2LL * tables.field_capacity + 16, most = index.field_count + reader->field_limit + 1LL;
        if ((!records_full && !tables.reserve_fields(&range.error, twice < most ? twice : most)) ||
            (records_full && !tables.reserve_records(&range.error, 2LL * tables.start_capacity + 16))) {
            index.record_count = 0;
            break;
        }
    }
    // The records up to the first over a limit, which one thread reads.
    int whole = index.record_count;
    for (int r = 0; r < whole; r++) {
        const int next = r + 1 < index.record_count ? tables.starts[r + 1] : index.field_count;
        const int end = r + 1 < index.record_count ? tables.fields[next].start : index.next;
        if (end - tables.fields[tables.starts[r]].start > reader->limit || next - tables.starts[r] > reader->field_limit)
            whole = r;
    }
    long long line = range.line;
    int count = 0;
    if (whole > 0) {
        const Check check = {&range.error, reader->lenient, 0, index.quotes != 0,
                             index.line_feeds > index.record_count, !reader->decode_later,
                             reader->invalid_utf8 == CSV_LINE_UTF8_STRICT};
        const int fields = whole < index.record_count ? tables.starts[whole] : index.field_count;
        count = check_records(check, tables, range.bytes, 0, whole, fields, range.offset, &line);
        if (count < 0)
            count = 0;
        else
            point_decoded(tables);
    }
    range.stops = range.error.code != CSV_LINE_OK || whole < index.record_count || crowded;
    if (range.error.code == CSV_LINE_OK && range.stops) {
        range.stop_offset = range.offset + (whole < index.record_count ? tables.fields[tables.starts[whole]].start : index.next);
        range.stop_line = line;
    }
    fill_batch(tables, range.bytes, count, 0, &range.batch);
    // Only the values of the records handed over.
    if (count < whole) {
        const int end = count > 0 ? tables.records[count - 1].field + tables.records[count - 1].count : 0;
        int decoded = 0;
        while (decoded < tables.decoded_count && tables.decoded[decoded].field < end)
            decoded++;
        range.batch.decoded_count = decoded;
    }
}

// Confirms the ranges read, in input order: each batch gets its sequence,
// and after a range that stops the threads the rest are left unhanded.
// (The lock held.)
void confirm(csv_line_reader *reader, Threads &threads)
{
    for (;;) {
        Range *next = nullptr;
        for (int k = 0; k < threads.range_count && next == nullptr; k++)
            if (threads.ranges[k].stage == Stage::read && threads.ranges[k].number == threads.confirmed)
                next = &threads.ranges[k];
        if (next == nullptr || threads.stopped != nullptr)
            return;
        threads.confirmed++;
        if (next->batch.count > 0)
            next->batch.sequence = reader->sequence++;
        next->stage = Stage::confirmed;
        if (next->stops)
            threads.stopped = next;
    }
}

bool cut_range(csv_line_reader *reader, Threads &threads, Range &range);

// A free range to cut into, when the thread may cut now. The ranges in
// flight hold about the record limit at most, however long their records.
// (The lock held.)
Range *to_cut(const csv_line_reader *reader, Threads &threads, bool caller)
{
    if (threads.cutting || threads.cut_over || threads.stopped != nullptr || threads.stopped_by != 0 ||
        (threads.caller_cuts && !caller))
        return nullptr;
    Range *into = nullptr;
    size_t held = 0;
    for (int k = 0; k < threads.range_count; k++) {
        Range &range = threads.ranges[k];
        if (range.stage == Stage::free) {
            if (into == nullptr)
                into = &range;
        } else {
            held += range.length;
        }
    }
    return held <= static_cast<size_t>(reader->limit) ? into : nullptr;
}

// One piece of work, the lock held: the callback of the earliest batch
// confirmed (for_each), since that frees a range; else cutting, while few
// ranges wait to be read; else reading the earliest range cut. Returns
// false when there was none.
bool work_once(csv_line_reader *reader, Threads &threads, bool caller)
{
    Range *ready = nullptr, *cut = nullptr;
    int waiting = 0;
    for (int k = 0; k < threads.range_count; k++) {
        Range &range = threads.ranges[k];
        if (threads.fn != nullptr && threads.stopped_by == 0 && range.stage == Stage::confirmed &&
            (ready == nullptr || range.number < ready->number))
            ready = &range;
        if (range.stage == Stage::cut && threads.stopped == nullptr && threads.stopped_by == 0) {
            waiting++;
            if (cut == nullptr || range.number < cut->number)
                cut = &range;
        }
    }
    if (ready != nullptr) {
        ready->stage = Stage::calling;
        pthread_mutex_unlock(&threads.lock);
        const int said = ready->batch.count > 0 ? threads.fn(&ready->batch, threads.context) : 0;
        pthread_mutex_lock(&threads.lock);
        if (said != 0 && threads.stopped_by == 0)
            threads.stopped_by = said;
        ready->stage = ready == threads.stopped ? Stage::handed : Stage::free;
        pthread_cond_broadcast(&threads.changed);
        return true;
    }
    Range *into = to_cut(reader, threads, caller);
    if (into != nullptr && (cut == nullptr || (waiting <= threads.workers))) {
        into->stage = Stage::cutting;
        threads.cutting = true;
        pthread_mutex_unlock(&threads.lock);
        const bool made = cut_range(reader, threads, *into);
        pthread_mutex_lock(&threads.lock);
        threads.cutting = false;
        threads.cut_over |= !made;
        into->stage = made ? Stage::cut : Stage::free;
        pthread_cond_broadcast(&threads.changed);
        // for_each reads it here, while the cut left its bytes in this
        // core's cache; next leaves it to be read in turn.
        if (!made || threads.fn == nullptr)
            return true;
        cut = into;
    }
    if (cut != nullptr) {
        cut->stage = Stage::reading;
        pthread_mutex_unlock(&threads.lock);
        read_range(reader, *cut);
        pthread_mutex_lock(&threads.lock);
        cut->stage = Stage::read;
        confirm(reader, threads);
        pthread_cond_broadcast(&threads.changed);
        return true;
    }
    return false;
}

void *work(void *arg)
{
    csv_line_reader *reader = static_cast<csv_line_reader *>(arg);
    Threads &threads = *reader->workers;
    pthread_mutex_lock(&threads.lock);
    while (!threads.leaving)
        if (!work_once(reader, threads, false))
            pthread_cond_wait(&threads.changed, &threads.lock);
    pthread_mutex_unlock(&threads.lock);
    return nullptr;
}

// The cutter's reads: what the reader's buffer held first, then the
// source; at most n bytes, 0 at the input's end, -1 on an error.
long long take(csv_line_reader *reader, char *out, size_t n)
{
    if (reader->at < reader->held) {
        const size_t left = reader->held - reader->at, taken = n < left ? n : left;
        std::memcpy(out, reader->buffer + reader->at, taken);
        reader->at += taken;
        return static_cast<long long>(taken);
    }
    return read_more(reader, out, n);
}

// Grows the range's buffer to n bytes or more. (The caller's thread, the
// range its own.)
bool room(Threads &threads, Range &range, size_t n)
{
    if (range.owned_capacity >= n)
        return true;
    size_t capacity = range.owned_capacity > 0 ? range.owned_capacity : threads.range_size;
    while (capacity < n)
        capacity *= 2;
    char *bigger = static_cast<char *>(std::realloc(range.owned, capacity));
    if (bigger == nullptr) {
        threads.source_errno = ENOMEM;
        return false;
    }
    range.owned = bigger;
    range.owned_capacity = capacity;
    range.bytes = bigger;
    return true;
}

// Makes the range hold at least n bytes from its start, or all there are;
// returns how many it holds.
size_t hold_range(csv_line_reader *reader, Threads &threads, Range &range, size_t n)
{
    if (reader->memory != nullptr) {
        const size_t left = reader->memory_size - static_cast<size_t>(range.offset);
        return range.length = n < left ? n : left;
    }
    if (!room(threads, range, n))
        return range.length;
    while (range.length < n && !threads.source_ended && threads.source_errno == 0) {
        const long long got = take(reader, range.owned + range.length, n - range.length);
        if (got < 0)
            threads.source_errno = errno != 0 ? errno : EIO;
        threads.source_ended = got == 0;
        if (got > 0)
            range.length += static_cast<size_t>(got);
    }
    return range.length;
}

// Moves what the range holds back to the tail: the bytes after the last cut.
bool keep_tail(Threads &threads, const char *bytes, size_t n)
{
    if (n > threads.tail_capacity) {
        char *bigger = static_cast<char *>(std::realloc(threads.tail, n));
        if (bigger == nullptr)
            return false;
        threads.tail = bigger;
        threads.tail_capacity = n;
    }
    if (n > 0)
        std::memmove(threads.tail, bytes, n);
    threads.tail_size = n;
    return true;
}

// Cuts the next range into `range`, a free one: from cut_offset up to the
// first record start at or after range_size bytes. Returns false when none
// can be cut (the input ends first, or the record there runs past the
// limit), and the rest is left to the reader on one thread.
bool cut_range(csv_line_reader *reader, Threads &threads, Range &range)
{
    // What a long record grew is given back, so that only the ranges that
    // hold long records now hold their memory.
    const long long fields = static_cast<long long>(threads.range_size / 8) + 16;
    if (range.owned_capacity > 4 * threads.range_size + 2 * SEARCH_STEP) {
        std::free(range.owned);
        range.owned = nullptr;
        range.owned_capacity = 0;
    }
    if (range.tables.field_capacity > 16 * fields || range.tables.decoded_bytes_capacity > 16 * fields) {
        range.tables.release();
        csv_line_error unsaid{};  // a table had again later, if not now
        if (range.tables.reserve_fields(&unsaid, fields))
            range.tables.reserve_records(&unsaid, fields / 8);
    }
    range.offset = threads.cut_offset;
    range.line = threads.cut_line;
    range.length = 0;
    if (reader->memory != nullptr) {
        range.bytes = reader->memory + threads.cut_offset;
    } else {
        range.bytes = range.owned;
        if (!room(threads, range, threads.tail_size))
            return false;  // the tail stays the rest's start
        if (threads.tail_size > 0)
            std::memcpy(range.owned, threads.tail, threads.tail_size);
        range.length = threads.tail_size;
        threads.tail_size = 0;
    }
    // The range ends at the first record start past its first range_size
    // bytes, or past its first LINE_BUDGET LFs, so that the tables of a
    // range of short records stay small.
    const size_t nominal = threads.range_size;
    size_t end = 0;
    long long line_feeds = 0;
    if (hold_range(reader, threads, range, nominal) >= nominal) {
        csv_line_chunk summary;
        int state = 0;  // between quotes at `at`
        size_t at = 0;
        while (at < nominal && line_feeds < LINE_BUDGET) {
            const size_t step = nominal - at < SEARCH_STEP ? nominal - at : SEARCH_STEP;
            csv_line_chunk_scan(range.bytes + at, static_cast<long long>(step), &summary);
            state ^= static_cast<int>(summary.quotes & 1);
            line_feeds += summary.line_feeds;
            at += step;
        }
        const size_t most = at + static_cast<size_t>(reader->limit) + 1;
        while (end == 0 && at < most) {
            const size_t held = hold_range(reader, threads, range, at + SEARCH_STEP < most ? at + SEARCH_STEP : most);
            if (held <= at)
                break;
            csv_line_chunk_scan(range.bytes + at, static_cast<long long>(held - at), &summary);
            const long long first = summary.first_record[state];
            if (first >= 0) {
                end = at + static_cast<size_t>(first);
                line_feeds += count_line_feeds(range.bytes + at, static_cast<size_t>(first));
            } else {
                state ^= static_cast<int>(summary.quotes & 1);
                line_feeds += summary.line_feeds;
                at = held;
            }
        }
    }
    if (end == 0) {
        // What the range holds is the rest's start.
        if (reader->memory == nullptr) {
            char *const tail = threads.tail;
            const size_t tail_capacity = threads.tail_capacity;
            threads.tail = range.owned;
            threads.tail_capacity = range.owned_capacity;
            threads.tail_size = range.length;
            range.bytes = range.owned = tail;
            range.owned_capacity = tail_capacity;
        }
        return false;
    }
    if (reader->memory == nullptr && !keep_tail(threads, range.owned + end, range.length - end)) {
        threads.source_errno = ENOMEM;
        return false;
    }
    range.length = end;
    range.number = threads.ranges_cut++;
    threads.cut_offset += static_cast<long long>(end);
    threads.cut_line += line_feeds;
    return true;
}

// Waits until no thread reads a range or calls back, then stops the workers.
void join_workers(Threads &threads)
{
    pthread_mutex_lock(&threads.lock);
    for (bool busy = true; busy;) {
        busy = threads.cutting;
        for (int k = 0; k < threads.range_count; k++)
            busy |= threads.ranges[k].stage == Stage::reading || threads.ranges[k].stage == Stage::calling;
        if (busy)
            pthread_cond_wait(&threads.changed, &threads.lock);
    }
    threads.leaving = true;
    pthread_cond_broadcast(&threads.changed);
    pthread_mutex_unlock(&threads.lock);
    for (int k = 0; k < threads.started; k++)
        pthread_join(threads.ids[k], nullptr);
    threads.started = 0;
}

// The reader on one thread goes on from the record that begins at the
// input's byte `offset`, on `line`: in `from`, when given, else at the
// cutter's end; then the bytes of the ranges cut after it, the tail and
// the source.
bool hand_over(csv_line_reader *reader, Threads &threads, long long offset, long long line, Range *from)
{
    join_workers(threads);
    // The ranges' tables go, but for those of a batch the caller may
    // still hold.
    for (int k = 0; k < threads.range_count; k++)
        if (&threads.ranges[k] != from || from->batch.count == 0)
            threads.ranges[k].tables.release();
    reader->one_thread = true;
    reader->line = line;
    reader->want = 1;
    reader->skip_line_next = false;
    reader->ended = false;
    if (reader->memory != nullptr) {
        reader->at = reader->resume_at = reader->held = static_cast<size_t>(offset);
        return true;
    }
    const char *const unread = reader->buffer + reader->at;
    const size_t unread_size = reader->held - reader->at;
    struct {
        const char *bytes;
        size_t size;
    } unread_parts[2] = {{nullptr, 0}, {unread, unread_size}};
    reader->at = reader->resume_at = 0;
    reader->offset = offset;
    reader->source_ended = threads.source_ended;
    reader->source_errno = threads.source_errno;
    if (from == nullptr || (from->number == threads.ranges_cut - 1 && from->batch.count == 0)) {
        // The rest begins in the tail, or in the last range cut when none
        // of its records was handed: those bytes become the buffer, so that
        // a record over a limit is held once, not twice.
        char *bytes = threads.tail;
        size_t size = threads.tail_size, capacity = threads.tail_capacity;
        if (from == nullptr) {
            threads.tail = nullptr;  // it is the buffer's now
        } else {
            const size_t skip = static_cast<size_t>(offset - from->offset);
            bytes = from->owned;
            capacity = from->owned_capacity;
            size = from->length - skip;
            std::memmove(bytes, bytes + skip, size);
            from->owned = nullptr;
            from->owned_capacity = 0;
            unread_parts[0] = {threads.tail, threads.tail_size};
        }
        for (const auto &part : unread_parts) {
            if (part.size == 0)
                continue;
            if (size + part.size > capacity) {
                char *bigger = static_cast<char *>(std::realloc(bytes, size + part.size));
                if (bigger == nullptr) {
                    std::free(bytes);
                    fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
                    return false;
                }
                bytes = bigger;
                capacity = size + part.size;
            }
            std::memcpy(bytes + size, part.bytes, part.size);
            size += part.size;
        }
        std::free(threads.tail);
        threads.tail = nullptr;
        threads.tail_size = threads.tail_capacity = 0;
        std::free(reader->buffer);
        reader->buffer = bytes;
        reader->capacity = capacity;
        reader->held = size;
        return true;
    }
    reader->pieces = static_cast<Piece *>(std::calloc(static_cast<size_t>(threads.range_count) + 2, sizeof(Piece)));
    if (reader->pieces == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    int count = 0;
    for (long long number = from != nullptr ? from->number : threads.ranges_cut; number < threads.ranges_cut; number++)
        for (int k = 0; k < threads.range_count; k++) {
            Range &range = threads.ranges[k];
            if (range.stage == Stage::free || range.number != number)
                continue;
            const size_t skip = &range == from ? static_cast<size_t>(offset - range.offset) : 0;
            // The piece frees the bytes once read, after the batch that
            // may still point into them is done with.
            reader->pieces[count++] = {range.bytes + skip, range.length - skip, range.owned};
            range.owned = nullptr;
            range.owned_capacity = 0;
        }
    reader->pieces[count++] = {threads.tail, threads.tail_size, threads.tail};
    threads.tail = nullptr;
    threads.tail_size = threads.tail_capacity = 0;
    reader->pieces[count++] = {unread, unread_size, reader->buffer};
    reader->buffer = nullptr;
    reader->capacity = 0;
    reader->piece_count = count;
    reader->piece_next = 0;
    reader->piece_taken = 0;
    reader->held = 0;
    return true;
}

// After the ranges: the reader on one thread goes on where the stopping
// range says, or at the cutter's end; or the stopping range's error is
// the reader's.
bool go_on(csv_line_reader *reader, Threads &threads)
{
    Range *stopped = threads.stopped;
    if (stopped != nullptr && stopped->error.code != CSV_LINE_OK) {
        join_workers(threads);
        reader->error = stopped->error;
        reader->failed = true;
        return false;
    }
    if (stopped != nullptr)
        return hand_over(reader, threads, stopped->stop_offset, stopped->stop_line, stopped);
    return hand_over(reader, threads, threads.cut_offset, threads.cut_line, nullptr);
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
    pthread_cond_init(&threads->changed, nullptr);
    // The caller's thread reads ranges too, while it would wait.
    const int workers = reader->threads - 1 < 255 ? reader->threads - 1 : 255;
    threads->range_count = 2 * workers + 4;
    threads->range_size = RANGE_SIZE;
    if (const char *size = std::getenv("CSV_LINE_PART_SIZE")) {  // for tests: many small ranges
        const long long asked = std::atoll(size);
        if (asked > 0 && asked <= (1 << 30))
            threads->range_size = static_cast<size_t>(asked);
    }
    threads->caller_cuts = reader->read != nullptr;
    threads->cut_offset = reader->offset + static_cast<long long>(reader->at);
    threads->cut_line = reader->line;
    threads->ranges = static_cast<Range *>(std::calloc(static_cast<size_t>(threads->range_count), sizeof(Range)));
    if (threads->ranges == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    // The tables are had here, on the caller's thread, so that a reader
    // opened after another takes memory the last one gave back.
    const long long fields = static_cast<long long>(threads->range_size / 8) + 16;
    for (int k = 0; k < threads->range_count; k++) {
        Tables &tables = threads->ranges[k].tables;
        if (!tables.reserve_fields(&reader->error, fields) || !tables.reserve_records(&reader->error, fields / 8)) {
            reader->failed = true;
            return false;
        }
    }
    threads->workers = workers;
    while (threads->started < workers &&
           pthread_create(&threads->ids[threads->started], nullptr, work, reader) == 0)
        threads->started++;
    return true;
}

// Starts the threads on the first call; false after an error, said.
bool running(csv_line_reader *reader)
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

// How a call of next or for_each goes on.
enum class Entry {
    failed,      // an error, said
    one_thread,  // the reader on one thread
    ended,       // a callback ended the reading: nothing more is handed
    threads      // on the threads, the lock held
};

// Starts the threads on the first call, and lets go of the batch that the
// last call of next handed over: a call goes on from where that left off.
Entry enter(csv_line_reader *reader)
{
    if (!running(reader))
        return Entry::failed;
    if (reader->one_thread)
        return Entry::one_thread;
    Threads &threads = *reader->workers;
    if (threads.stopped_by != 0)
        return Entry::ended;
    pthread_mutex_lock(&threads.lock);
    if (threads.handed != nullptr && threads.handed != threads.stopped)
        threads.handed->stage = Stage::free;
    threads.handed = nullptr;
    return Entry::threads;
}

// The range whose batch comes next, or null when none is cut.
Range *in_turn(const Threads &threads)
{
    for (int k = 0; k < threads.range_count; k++) {
        const Range &range = threads.ranges[k];
        if (range.stage != Stage::free && range.stage != Stage::cutting && range.number == threads.taken)
            return &threads.ranges[k];
    }
    return nullptr;
}

}  // namespace

int next_parallel(csv_line_reader *reader, csv_line_batch *batch)
{
    switch (enter(reader)) {
    case Entry::failed:
        return -1;
    case Entry::one_thread:
        return next_batch(reader, batch);
    case Entry::ended:
        return 0;
    case Entry::threads:
        break;
    }
    Threads &threads = *reader->workers;
    // While its range is cut or read elsewhere, this thread cuts or reads
    // the ones after.
    Range *range;
    while ((range = in_turn(threads)) != nullptr ? range->stage != Stage::confirmed
                                                 : !threads.cut_over || threads.cutting)
        if (!work_once(reader, threads, true))
            pthread_cond_wait(&threads.changed, &threads.lock);
    if (range != nullptr && range != threads.stopped) {
        threads.taken++;
        range->stage = Stage::handed;
        threads.handed = range;
        pthread_mutex_unlock(&threads.lock);
        *batch = range->batch;
        return range->batch.count;
    }
    const bool records = range != nullptr && range->batch.count > 0;
    if (records) {
        range->stage = Stage::handed;
        threads.taken++;
    }
    pthread_mutex_unlock(&threads.lock);
    if (records) {
        // Its records first; what stopped the threads, on the next call.
        *batch = range->batch;
        go_on(reader, threads);
        return range->batch.count;
    }
    if (!go_on(reader, threads))
        return -1;
    return next_batch(reader, batch);
}

int for_each_parallel(csv_line_reader *reader, csv_line_batch_fn fn, void *context)
{
    switch (enter(reader)) {
    case Entry::failed:
        return -1;
    case Entry::one_thread:
        return for_each_batch(reader, fn, context);
    case Entry::ended:
        return 0;
    case Entry::threads:
        break;
    }
    Threads &threads = *reader->workers;
    threads.fn = fn;
    threads.context = context;
    for (;;) {
        if (work_once(reader, threads, true))
            continue;
        bool pending = threads.cutting;
        for (int k = 0; k < threads.range_count && !pending; k++) {
            const Stage stage = threads.ranges[k].stage;
            pending = stage == Stage::reading || stage == Stage::calling ||
                      (threads.stopped_by == 0 && stage == Stage::confirmed) ||
                      (threads.stopped == nullptr && threads.stopped_by == 0 &&
                       (stage == Stage::cut || stage == Stage::read));
        }
        if (!pending && (threads.cut_over || threads.stopped != nullptr || threads.stopped_by != 0))
            break;
        if (pending)
            pthread_cond_wait(&threads.changed, &threads.lock);
    }
    threads.fn = nullptr;
    const int said = threads.stopped_by;
    pthread_mutex_unlock(&threads.lock);
    if (said != 0) {
        join_workers(threads);
        return said;
    }
    if (!go_on(reader, threads))
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
        pthread_cond_broadcast(&threads->changed);
        pthread_mutex_unlock(&threads->lock);
        for (int k = 0; k < threads->started; k++)
            pthread_join(threads->ids[k], nullptr);
    }
    for (int k = 0; threads->ranges != nullptr && k < threads->range_count; k++) {
        std::free(threads->ranges[k].owned);
        threads->ranges[k].tables.release();
    }
    std::free(threads->ranges);
    std::free(threads->tail);
    pthread_mutex_destroy(&threads->lock);
    pthread_cond_destroy(&threads->changed);
    std::free(threads);
    reader->workers = nullptr;
}

}  // namespace reading
