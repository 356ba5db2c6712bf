// The reader against a plainly written model of what it hands over: every
// record's line, offset, flags, raw fields and values, then how reading
// ends. Each text is read from memory, a file, a stream and a pipe fed in
// reads of many sizes (so records cross every buffer edge), on one thread
// and on several with ranges of a few bytes.

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "csv_line.h"
#include "packings.h"
#include "reader_checks.h"

namespace {

std::string Describe(const Reading &reading)
{
    std::string out;
    for (const std::string &name : reading.names)
        out += "name[" + name + "] ";
    for (const Record &r : reading.records) {
        out += "\n  line " + std::to_string(r.line) + " at " + std::to_string(r.offset) + " flags " +
               std::to_string(r.flags) + ":";
        for (size_t k = 0; k < r.raw.size(); k++)
            out += " [" + r.raw[k] + "|" + r.values[k] + (r.malformed[k] ? "|bad" : "") + "]";
    }
    return out + "\n  ends " + std::to_string(reading.error) + " line " + std::to_string(reading.error_line) +
           " field " + std::to_string(reading.error_field);
}

struct Options {
    char separator = ',';
    bool header = false;
    int limit = 0;  // 0: the default
    bool lenient = false;
    int fields = 0;  // the field limit; 0: the default
    bool on_demand = false;  // values decoded when asked for
    int encoding = CSV_LINE_ENCODING_AUTO;
    int utf8 = CSV_LINE_UTF8_RAW;  // the model reads bytes as they are
};

// The value of a raw field, as RFC 4180 readers read it; false when it is
// not well formed, with `value` its content, every quote dropped.
bool ModelValue(const std::string &raw, std::string &value)
{
    value.clear();
    if (raw.find('"') == std::string::npos) {
        value = raw;
        return true;
    }
    bool whole = raw.size() >= 2 && raw.front() == '"' && raw.back() == '"';
    for (size_t k = 1; whole && k + 1 < raw.size(); k++) {
        if (raw[k] != '"') {
            value += raw[k];
        } else if (k + 2 < raw.size() && raw[k + 1] == '"') {
            value += '"';
            k++;
        } else {
            whole = false;
        }
    }
    if (whole)
        return true;
    value.clear();
    for (char c : raw)
        if (c != '"')
            value += c;
    return false;
}

// The fields of a record's bytes, its ending left out.
std::vector<std::string> ModelFields(const std::string &bytes, char separator)
{
    std::vector<std::string> fields(1);
    bool quoted = false;
    for (char c : bytes) {
        if (c == '"')
            quoted = !quoted;
        if (c == separator && !quoted)
            fields.emplace_back();
        else
            fields.back() += c;
    }
    return fields;
}

Reading Model(const std::string &text, const Options &options)
{
    const size_t limit = static_cast<size_t>(options.limit > 0 ? options.limit : int{CSV_LINE_DEFAULT_RECORD_LIMIT});
    Reading reading;
    size_t at = text.compare(0, 3, "\xef\xbb\xbf") == 0 ? 3 : 0;
    long long line = 1;
    bool first = true;
    while (at < text.size()) {
        // The record's end: the first LF outside quotes.
        size_t end = at;
        long long lfs = 0;
        bool quoted = false;
        for (; end < text.size() && (quoted || text[end] != '\n'); end++) {
            quoted ^= text[end] == '"';
            lfs += text[end] == '\n';
        }
        const bool ends = end < text.size();
        Record record;
        record.line = line;
        record.offset = static_cast<long long>(at);
        size_t body_end = end, next = ends ? end + 1 : end;
        if ((ends ? end + 1 : end) - at > limit) {
            const size_t lf = text.find('\n', at);
            if (lf != std::string::npos && lf < at + limit) {
                record.flags = CSV_LINE_RECORD_TOO_LONG;
                body_end = lf;
                next = lf + 1;
            } else {
                record.flags = CSV_LINE_RECORD_LINE_TOO_LONG;
                body_end = at + limit;
                const size_t rest = text.find('\n', body_end);
                next = rest == std::string::npos ? text.size() : rest + 1;
            }
            lfs = 0;
            quoted = false;
        } else if (!ends && quoted) {
            record.flags = CSV_LINE_RECORD_UNCLOSED;
        }
        // A CR just before the LF that ends it belongs to the ending.
        const bool at_lf = (record.flags == 0 && ends) || record.flags == CSV_LINE_RECORD_TOO_LONG;
        if (at_lf && body_end > at && text[body_end - 1] == '\r')
            body_end--;
        record.raw = ModelFields(text.substr(at, body_end - at), options.separator);
        const size_t most = static_cast<size_t>(options.fields > 0 ? options.fields : int{CSV_LINE_DEFAULT_FIELD_LIMIT});
        if (record.raw.size() > most) {
            record.raw.resize(most);
            record.flags |= CSV_LINE_RECORD_TOO_MANY_FIELDS;
        }
        for (size_t k = 0; k < record.raw.size(); k++) {
            std::string value;
            const bool well = ModelValue(record.raw[k], value);
            record.values.push_back(value);
            record.malformed.push_back(!well);
            if (!well) {
                if (!options.lenient &&
                    (record.flags & (CSV_LINE_RECORD_UNCLOSED | CSV_LINE_RECORD_TOO_MANY_FIELDS | CSV_LINE_RECORD_TOO_LONG |
                                     CSV_LINE_RECORD_LINE_TOO_LONG)) == 0 &&
                    reading.error == 0 && !(first && options.header)) {
                    reading.error = CSV_LINE_ERROR_MALFORMED;
                    reading.error_line = line;
                    reading.error_field = static_cast<int>(k) + 1;
                }
                record.flags |= CSV_LINE_RECORD_MALFORMED;
            }
        }
        if (!options.lenient && record.flags != 0 && reading.error == 0 && !(first && options.header)) {
            reading.error = record.flags & (CSV_LINE_RECORD_TOO_LONG | CSV_LINE_RECORD_LINE_TOO_LONG) ? CSV_LINE_ERROR_TOO_LONG
                            : record.flags & CSV_LINE_RECORD_TOO_MANY_FIELDS                        ? CSV_LINE_ERROR_TOO_MANY_FIELDS
                            : record.flags & CSV_LINE_RECORD_UNCLOSED                               ? CSV_LINE_ERROR_UNCLOSED
                                                                                                    : CSV_LINE_ERROR_MALFORMED;
            reading.error_line = line;
        }
        if (first && options.header) {
            if (!options.lenient && record.flags != 0) {
                reading.error = record.flags & CSV_LINE_RECORD_MALFORMED ? CSV_LINE_ERROR_MALFORMED
                                : record.flags & (CSV_LINE_RECORD_TOO_LONG | CSV_LINE_RECORD_LINE_TOO_LONG)
                                    ? CSV_LINE_ERROR_TOO_LONG
                                : record.flags & CSV_LINE_RECORD_TOO_MANY_FIELDS ? CSV_LINE_ERROR_TOO_MANY_FIELDS
                                                                             : CSV_LINE_ERROR_UNCLOSED;
                reading.error_line = line;
                reading.error_field = static_cast<int>(
                    std::find(record.malformed.begin(), record.malformed.end(), true) - record.malformed.begin() + 1);
                return reading;
            }
            reading.names = record.values;
        } else if (reading.error != 0) {
            return reading;
        } else {
            if (!options.lenient)
                record.flags = 0;
            reading.records.push_back(record);
        }
        first = false;
        line += 1 + lfs;
        at = next;
    }
    return reading;
}

bool Same(const Reading &a, const Reading &b)
{
    return a.names == b.names && a.records == b.records && a.error == b.error && a.error_line == b.error_line &&
           (a.error_field == b.error_field || a.error != CSV_LINE_ERROR_MALFORMED);
}

enum class Source { memory, path, stream, callback, pipe };
const char *const source_names[] = {"memory", "path", "stream", "callback", "pipe"};

// Where threads cannot start (qemu-i386 here spins in pthread_create),
// one thread, and no pipe, whose writer is a thread.
#ifdef CSV_LINE_TEST_ONE_THREAD
const std::vector<Source> sources = {Source::memory, Source::path, Source::stream, Source::callback};
const std::vector<int> thread_counts = {1};
#else
const std::vector<Source> sources = {Source::memory, Source::path, Source::stream, Source::callback, Source::pipe};
const std::vector<int> thread_counts = {1, 2, 3, 8};
#endif

// A file holding the text, removed with it.
struct TempFile {
    std::string path;
    explicit TempFile(const std::string &text)
    {
        char name[] = "/tmp/reader_test_XXXXXX";
        const int fd = mkstemp(name);
        path = name;
        EXPECT_EQ(write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(fd);
    }
    ~TempFile() { unlink(path.c_str()); }
};

// A read function's source: the text in pieces of 1 to 97 bytes.
struct Pieces {
    const std::string &text;
    size_t at;
    std::mt19937 random;

    static long long Read(void *context, char *buffer, size_t size)
    {
        Pieces &pieces = *static_cast<Pieces *>(context);
        const size_t n = std::min({size, pieces.text.size() - pieces.at, size_t{1} + pieces.random() % 97});
        std::memcpy(buffer, pieces.text.data() + pieces.at, n);
        pieces.at += n;
        return static_cast<long long>(n);
    }
};

Reading Read(const std::string &text, const Options &options, Source source, int threads, unsigned seed = 1)
{
    csv_line_reader_options given = {options.separator, options.header, options.limit, threads,
                                     options.lenient, options.fields, options.on_demand, options.encoding,
                                     options.utf8, 0};
    switch (source) {
    case Source::memory:
        return Drain(csv_line_reader_open_memory(text.data(), text.size(), &given));
    case Source::path: {
        const TempFile file(text);
        return Drain(csv_line_reader_open_path(file.path.c_str(), &given));
    }
    case Source::stream: {
        const TempFile file(text);
        FILE *stream = std::fopen(file.path.c_str(), "rb");
        Reading reading = Drain(csv_line_reader_open_file(stream, &given));
        std::fclose(stream);
        return reading;
    }
    case Source::callback: {
        Pieces pieces{text, 0, std::mt19937(seed)};
        return Drain(csv_line_reader_open_read(Pieces::Read, &pieces, &given));
    }
    case Source::pipe:
        break;
    }
    // Written in pieces of every size from 1 byte, so that the reader's
    // reads end anywhere.
    int ends[2];
    EXPECT_EQ(pipe(ends), 0);
    signal(SIGPIPE, SIG_IGN);
    std::thread writer([&text, write_end = ends[1], seed] {
        std::mt19937 random(seed);
        for (size_t at = 0; at < text.size();) {
            const size_t piece = std::min<size_t>(text.size() - at, 1 + random() % 97);
            const ssize_t wrote = write(write_end, text.data() + at, piece);
            if (wrote <= 0)
                break;
            at += static_cast<size_t>(wrote);
        }
        close(write_end);
    });
    Reading reading = Drain(csv_line_reader_open_fd(ends[0], &given));
    // A reader that stopped early leaves the writer's last write to fail.
    close(ends[0]);
    writer.join();
    return reading;
}

// Every source and packing, and threads with ranges of a few bytes, must
// give what the model gives. A packed text goes through the stage first,
// the same whatever comes after it: it is read from memory, a read
// function (the stage on the caller's thread) and a pipe, on one thread
// and on the most, which is enough to meet every way the stage is read.
void ExpectModel(const std::string &text, const Options &options)
{
    for (Packing packing : Packings()) {
        const Reading want = Model(Unpacked(text, packing), options);
        const std::string packed = Pack(text, packing);
        const bool plain = packing == Packing::plain;
        for (Source source : sources) {
            if (!plain && source != Source::memory && source != Source::callback && source != Source::pipe)
                continue;
            for (int threads : thread_counts) {
                if (!plain && threads != 1 && threads != thread_counts.back())
                    continue;
                for (const char *part : {"7", "64", "1000000"}) {
                    if ((threads == 1 || !plain) && part[0] != '7')
                        continue;
                    setenv("CSV_LINE_PART_SIZE", part, 1);
                    const Reading got = Read(packed, options, source, threads);
                    unsetenv("CSV_LINE_PART_SIZE");
                    if (!Same(got, want)) {
                        ADD_FAILURE() << packing_names[static_cast<int>(packing)] << " from "
                                      << source_names[static_cast<int>(source)] << " on " << threads
                                      << " threads, ranges of " << part << " bytes\n got " << Describe(got)
                                      << "\n want " << Describe(want);
                        return;
                    }
                }
            }
        }
    }
}

struct Row {
    const char *name;
    std::string text;
    Options options;
};

const std::vector<Row> &Rows()
{
    static const std::vector<Row> rows = {
        {"empty", "", {}},
        {"one record, no LF", "a,b,c", {}},
        {"records", "a,b\nc,d\n", {}},
        {"empty lines are one empty field", "\n\na\n\n", {}},
        {"CR LF", "a,b\r\nc,d\r\n", {}},
        {"a lone CR is content", "a\rb,c\n", {}},
        {"quoted line breaks count as lines", "a,\"1\n2\n3\",c\nnext,x\n", {}},
        {"doubled quotes decoded", "id,note\n1,\"say \"\"hi\"\"\"\n2,\"\"\"\"\n3,\"a, \"\"b\"\", c\"\n4,\"\"\n", {}},
        {"a byte-order mark is dropped", "\xef\xbb\xbf" "a,b\n1,2\n", {}},
        {"a mark only at the start", "a\n\xef\xbb\xbf" "b\n", {}},
        {"a header", "\xef\xbb\xbfid,\"unit price\"\n1,9.5\n2,19.9\n", {',', true}},
        {"a header alone", "id,name\n", {',', true}},
        {"a header without LF", "id,name", {',', true}},
        {"another separator", "a;\"b;c\";d\n1;2;3\n", {';'}},
        {"a NUL is content", std::string("a\0b,c\n", 6), {}},
        {"strict: a quote inside an unquoted field", "a,b\nc,d\"e\"f\ng,h\n", {}},
        {"strict: text after a closing quote", "a,b\n\"closed\"after,y\nz,w\n", {}},
        {"lenient: flagged and read on", "a,b\n12\"\" pipe,x\n\"closed\"after,y\nz,\"w\"\n", {',', false, 0, true}},
        {"strict: a quote left open", "a,b\nc,\"open\nd,e\n", {}},
        {"lenient: a quote left open", "a,b\nc,\"open\nd,e\n", {',', false, 0, true}},
        {"strict: a record over the limit", "a,b\nc,\"open\nd,e\nf,g\n\"\nh,i\n", {',', false, 12}},
        {"lenient: a record over the limit ends at its line end", "a,b\nc,\"open\nd,e\nf,g\n\"\nh,i\n",
         {',', false, 12, true}},
        {"lenient: a record over the limit ends before its first CR LF", "a,b\r\nc,\"open\r\nd,e\r\n\"\r\n",
         {',', false, 9, true}},
        {"lenient: a line over the limit", "a,b\nc,xxxxxxxxxxxxxxxxxxxxxxxxx,d\ne,f\n", {',', false, 8, true}},
        {"lenient: a last line over the limit", "a,b\nc,xxxxxxxxxxxxxxxxxxxxxxxxx", {',', false, 8, true}},
        {"a record of exactly the limit", "abcdefg\nabcdefgh", {',', false, 8}},
        {"strict header over the limit", "id,name,xxxxxxxxxxxxxxxx\n1,2\n", {',', true, 8}},
        {"strict: a malformed header names its field", "id,na\"me\",x\n1,2,3\n", {',', true}},
        {"strict: a record of more fields than the limit", "a,b\nc,d,e,f\ng,h\n", {',', false, 0, false, 3}},
        {"lenient: a record's fields past the limit dropped, its lines counted", "a,b\nc,\"d\ne\",f,\"g\nh\"\ni,j\n",
         {',', false, 0, true, 2}},
        {"lenient: a last record of more fields, its quote left open", "a,b\nc,d,\"e", {',', false, 0, true, 2}},
        {"strict: a last record of more fields, its quote left open", "a,b\nc,d,\"e", {',', false, 0, false, 2}},
        {"lenient: more fields and over the limit", "a,b\n,,,,,,,,,,,,,,,,,,,,,\nc,d\n", {',', false, 8, true, 3}},
        {"strict header of more fields", "id,name,x\n1,2\n", {',', true, 0, false, 2}},
        {"values decoded when asked", "a,\"b \"\"c\"\"\"\n\"x\"y,\"\"\"\"\n", {',', false, 0, true, 0, true}},
        {"strict: values decoded when asked, a malformed field said",
         "id,note\n1,\"say \"\"hi\"\"\"\n2,a\"b\n", {',', false, 0, false, 0, true}},
    };
    return rows;
}

TEST(Reader, EqualsTheModelFromEverySourceAndThreadCount)
{
    for (const Row &row : Rows()) {
        SCOPED_TRACE(row.name);
        ExpectModel(row.text, row.options);
    }
}

// Texts of the bytes that matter, at random, with the limits and options
// that make them matter.
TEST(Reader, EqualsTheModelOnRandomTexts)
{
    const char alphabet[] = {'a', 'b', ',', ';', '"', '"', '\n', '\n', '\r', ' '};
    std::mt19937 random(7);
    for (int round = 0; round < 60; round++) {
        std::string text;
        const int length = static_cast<int>(random() % 400);
        for (int k = 0; k < length; k++)
            text += alphabet[random() % sizeof alphabet];
        Options options;
        options.separator = round % 5 == 4 ? ';' : ',';
        options.header = round % 3 == 1;
        options.lenient = round % 2 == 0;
        options.limit = round % 4 == 3 ? 1 + static_cast<int>(random() % 40) : 0;
        options.fields = round % 7 == 5 ? 1 + static_cast<int>(random() % 4) : 0;
        options.on_demand = round % 6 == 2;
        SCOPED_TRACE("round " + std::to_string(round) + ": " + text);
        ExpectModel(text, options);
    }
}

// Lines, offsets and values over many ranges, against one thread.
TEST(Reader, ManyPartsOnEveryThreadCountEqualOneThread)
{
    std::mt19937 random(3);
    std::string text;
    const char *cells[] = {"abc", "\"q,\"\"x\"\"\"", "\"multi\nline\"", "12.5", "", "\"\""};
    for (int r = 0; r < 3000; r++) {
        for (int k = 0; k < 5; k++)
            text += std::string(k > 0 ? "," : "") + cells[random() % 6];
        text += r % 7 == 0 ? "\r\n" : "\n";
    }
    const Reading one = Read(text, {}, Source::memory, 1);
    ASSERT_EQ(one.records.size(), 3000u);
    for (int threads = 1; threads <= thread_counts.back() && threads <= 8; threads++)
        for (const char *part : {"100", "4096"}) {
            SCOPED_TRACE(std::to_string(threads) + " threads, ranges of " + part);
            setenv("CSV_LINE_PART_SIZE", part, 1);
            for (Source source : sources)
                EXPECT_TRUE(Same(Read(text, {}, source, threads, static_cast<unsigned>(threads)), one));
            unsetenv("CSV_LINE_PART_SIZE");
        }
}

// for_each hands every batch once, on the reader's threads: the records,
// put in order by their batches' sequence, are those of csv_line_reader_next.
TEST(Reader, ForEachHandsEveryBatchOnce)
{
    // Some records longer than several ranges would be, so that ranges
    // stretch over them: the sequences still run without a gap.
    std::string text = "h1,h2\n";
    for (int r = 0; r < 5000; r++)
        text += std::to_string(r) + ",\"v" + std::to_string(r) + (r % 10 == 0 ? "\n" : "") +
                (r % 100 == 0 ? std::string(2000, 'x') : "") + "\"\n";
    for (int threads : {1, 2, 4}) {
        if (threads > thread_counts.back())
            break;
        SCOPED_TRACE(std::to_string(threads) + " threads");
        setenv("CSV_LINE_PART_SIZE", "512", 1);
        csv_line_reader_options options = {',', 1, 0, threads, 0, 0, 0, 0, 0, 0};
        csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &options);
        struct Seen {
            std::mutex lock;
            std::vector<std::pair<long long, std::vector<long long>>> batches;
        } seen;
        const int status = csv_line_reader_for_each(
            reader,
            [](const csv_line_batch *batch, void *context) {
                auto *into = static_cast<Seen *>(context);
                std::vector<long long> lines;
                for (int r = 0; r < batch->count; r++)
                    lines.push_back(batch->records[r].line);
                std::lock_guard<std::mutex> hold(into->lock);
                into->batches.emplace_back(batch->sequence, lines);
                return 0;
            },
            &seen);
        csv_line_reader_close(reader);
        unsetenv("CSV_LINE_PART_SIZE");
        EXPECT_EQ(status, 0);
        std::sort(seen.batches.begin(), seen.batches.end());
        std::vector<long long> lines;
        for (size_t b = 0; b < seen.batches.size(); b++) {
            EXPECT_EQ(seen.batches[b].first, static_cast<long long>(b)) << "sequences are 0, 1, 2, ...";
            lines.insert(lines.end(), seen.batches[b].second.begin(), seen.batches[b].second.end());
        }
        std::vector<long long> want;
        for (const Record &record : Read(text, {',', true}, Source::memory, 1).records)
            want.push_back(record.line);
        EXPECT_EQ(lines, want);
    }
}

// A loop of csv_line_reader_next, then for_each: every record once, in the
// order of the sequences, whatever batch the loop stopped after.
TEST(Reader, ForEachGoesOnWhereNextLeftOff)
{
    std::string text;
    for (int r = 0; r < 3000; r++)
        text += "r" + std::to_string(r) + (r % 5 == 0 ? ",\"a\nb\"\n" : ",x\n");
    for (int threads : thread_counts) {
        for (int taken = 0; taken < 4; taken++) {
            SCOPED_TRACE(std::to_string(threads) + " threads, " + std::to_string(taken) + " batches by next");
            setenv("CSV_LINE_PART_SIZE", "333", 1);
            csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, 0, 0};
            csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &options);
            std::vector<std::pair<long long, std::vector<long long>>> batches;
            csv_line_batch batch;
            for (int k = 0; k < taken && csv_line_reader_next(reader, &batch) > 0; k++) {
                batches.emplace_back(batch.sequence, std::vector<long long>());
                for (int r = 0; r < batch.count; r++)
                    batches.back().second.push_back(batch.records[r].line);
            }
            struct Seen {
                std::mutex lock;
                std::vector<std::pair<long long, std::vector<long long>>> *batches;
            } seen{{}, &batches};
            EXPECT_EQ(csv_line_reader_for_each(
                          reader,
                          [](const csv_line_batch *b, void *context) {
                              auto *into = static_cast<Seen *>(context);
                              std::vector<long long> lines;
                              for (int r = 0; r < b->count; r++)
                                  lines.push_back(b->records[r].line);
                              std::lock_guard<std::mutex> hold(into->lock);
                              into->batches->emplace_back(b->sequence, lines);
                              return 0;
                          },
                          &seen),
                      0);
            csv_line_reader_close(reader);
            unsetenv("CSV_LINE_PART_SIZE");
            std::sort(batches.begin(), batches.end());
            std::vector<long long> lines;
            for (const auto &b : batches)
                lines.insert(lines.end(), b.second.begin(), b.second.end());
            std::vector<long long> want;
            for (long long line = 1, r = 0; r < 3000; r++) {
                want.push_back(line);
                line += r % 5 == 0 ? 2 : 1;
            }
            EXPECT_EQ(lines, want);
        }
    }
}

TEST(Reader, ForEachStopsWhenTheCallbackSays)
{
    std::string text;
    for (int r = 0; r < 2000; r++)
        text += "a,b\n";
    setenv("CSV_LINE_PART_SIZE", "64", 1);
    for (int threads : {1, 3}) {
        if (threads > thread_counts.back())
            break;
        csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, 0, 0};
        csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &options);
        EXPECT_EQ(csv_line_reader_for_each(reader, [](const csv_line_batch *, void *) { return 7; }, nullptr), 7);
        csv_line_reader_close(reader);
    }
    unsetenv("CSV_LINE_PART_SIZE");
}

// Each error is said with its code, its line and, for a field, its field.
TEST(Reader, ErrorsSayTheirLine)
{
    const struct {
        const char *name;
        std::string text;
        Options options;
        int code;
        long long line;
        int field;
        const char *message;
    } rows[] = {
        {"malformed", "a\nb\n\"x\ny\"z,w\n", {}, CSV_LINE_ERROR_MALFORMED, 3, 1,
         "line 3: field 1: a quote inside an unquoted field or after a closing quote"},
        {"unclosed", "a\nb,\"c\n", {}, CSV_LINE_ERROR_UNCLOSED, 2, 0,
         "line 2: quote not closed by the end of the input"},
        {"unclosed after doubled quotes", "a\n\"b\"\"c\nd\n", {}, CSV_LINE_ERROR_UNCLOSED, 2, 0,
         "line 2: quote not closed by the end of the input"},
        {"regression: unclosed quote in an unquoted field named no field",
         "x,y,z\nx,y,z\nx,y,z\nx,y,z\nx,y,z\nx,y,z\nx,y,z\na,12\" pipe,c\nmore,lines\n", {},
         CSV_LINE_ERROR_UNCLOSED, 8, 2, "line 8: field 2: quote not closed by the end of the input"},
        {"unclosed after a closing quote", "a\n\"b\"c\"d\n", {}, CSV_LINE_ERROR_UNCLOSED, 2, 1,
         "line 2: field 1: quote not closed by the end of the input"},
        {"unclosed in a field left empty before it", "a\n,\"\"\"", {}, CSV_LINE_ERROR_UNCLOSED, 2, 0,
         "line 2: quote not closed by the end of the input"},
        {"too long", "a\nbbbbbbbbbb\n", {',', false, 5}, CSV_LINE_ERROR_TOO_LONG, 2, 0,
         "line 2: record longer than the limit of 5 bytes"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.name);
        csv_line_reader_options options = {row.options.separator, 0, row.options.limit, 0, 0, 0, 0, 0, 0, 0};
        csv_line_reader *reader = csv_line_reader_open_memory(row.text.data(), row.text.size(), &options);
        csv_line_batch batch;
        int n;
        while ((n = csv_line_reader_next(reader, &batch)) > 0) {
        }
        EXPECT_EQ(n, -1);
        EXPECT_EQ(csv_line_reader_next(reader, &batch), -1) << "an error is final";
        const csv_line_error *error = csv_line_reader_error(reader);
        EXPECT_EQ(error->code, row.code);
        EXPECT_EQ(error->line, row.line);
        EXPECT_EQ(error->field, row.field);
        EXPECT_STREQ(error->message, row.message);
        csv_line_reader_close(reader);
    }
}

TEST(Reader, OpeningFailsWithTheReason)
{
    csv_line_reader *missing = csv_line_reader_open_path("/nonexistent/file.csv", nullptr);
    ASSERT_NE(missing, nullptr);
    EXPECT_EQ(csv_line_reader_error(missing)->code, CSV_LINE_ERROR_IO);
    EXPECT_EQ(csv_line_reader_error(missing)->system, ENOENT);
    csv_line_batch batch;
    EXPECT_EQ(csv_line_reader_next(missing, &batch), -1);
    csv_line_reader_close(missing);

    csv_line_reader *directory = csv_line_reader_open_path("/", nullptr);
    csv_line_batch ignored;
    EXPECT_EQ(csv_line_reader_next(directory, &ignored), -1);
    EXPECT_EQ(csv_line_reader_error(directory)->system, EISDIR);
    csv_line_reader_close(directory);

    for (char separator : {'"', '\n', '\r'}) {
        csv_line_reader_options options = {separator, 0, 0, 0, 0, 0, 0, 0, 0, 0};
        csv_line_reader *reader = csv_line_reader_open_memory("a", 1, &options);
        EXPECT_EQ(csv_line_reader_error(reader)->code, CSV_LINE_ERROR_OPTIONS);
        csv_line_reader_close(reader);
    }
}

// A read that fails after some bytes: the records they end are handed
// over first, at every thread count, then the error; so too when the
// failure comes while the reader holds the sample it guesses from.
TEST(Reader, RecordsBeforeAFailedReadAreHandedOver)
{
    struct Failing {
        std::string text;
        size_t at;
        static long long Read(void *context, char *buffer, size_t size)
        {
            Failing &input = *static_cast<Failing *>(context);
            if (input.at == input.text.size()) {
                errno = EIO;
                return -1;
            }
            const size_t n = std::min<size_t>(size, std::min<size_t>(7, input.text.size() - input.at));
            std::memcpy(buffer, input.text.data() + input.at, n);
            input.at += n;
            return static_cast<long long>(n);
        }
    };
    for (int guess : {0, static_cast<int>(CSV_LINE_GUESS_SEPARATOR)})
    for (int threads : thread_counts) {
        SCOPED_TRACE(std::to_string(threads) + " threads, guessing " + std::to_string(guess));
        Failing input{"a,b\n\"c\nd\",e\nf,g\nh,\"unfinished", 0};
        csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, 0, guess};
        const Reading got = Drain(csv_line_reader_open_read(Failing::Read, &input, &options));
        ASSERT_EQ(got.records.size(), 3u);
        EXPECT_EQ(got.records[2].values, (std::vector<std::string>{"f", "g"}));
        EXPECT_EQ(got.error, CSV_LINE_ERROR_IO);
    }
}

TEST(Reader, AFailedReadIsAnIOError)
{
    const csv_line_read_fn failing = [](void *, char *, size_t) -> long long {
        errno = EBADF;
        return -1;
    };
    csv_line_reader *reader = csv_line_reader_open_read(failing, nullptr, nullptr);
    csv_line_batch batch;
    EXPECT_EQ(csv_line_reader_next(reader, &batch), -1);
    EXPECT_EQ(csv_line_reader_error(reader)->code, CSV_LINE_ERROR_IO);
    EXPECT_EQ(csv_line_reader_error(reader)->system, EBADF);
    csv_line_reader_close(reader);
}

// Range k of a file begins at its first record start at or after byte
// size * k / n (a mark belongs to the first record), with that record's
// line, and the ranges cover the file; memory gives the same ranges.
TEST(Reader, FileRangesBeginAtTheFirstRecordAfterEachCut)
{
    std::vector<std::string> texts;
    for (const Row &row : Rows())
        texts.push_back(row.text);
    std::mt19937 random(11);
    const char alphabet[] = {'a', ',', '"', '\n', '\n', '\r'};
    for (int round = 0; round < 40; round++) {
        std::string text;
        for (int k = static_cast<int>(random() % 300); k > 0; k--)
            text += alphabet[random() % sizeof alphabet];
        texts.push_back(text);
    }
    for (const std::string &text : texts) {
        SCOPED_TRACE(text);
        Options lenient;
        lenient.lenient = true;
        std::vector<Record> records = Model(text, lenient).records;
        if (!records.empty())
            records[0].offset = 0;
        const long long size = static_cast<long long>(text.size());
        const long long last_line = 1 + std::count(text.begin(), text.end(), '\n');
        const TempFile file(text);
        const int fd = open(file.path.c_str(), O_RDONLY);
        for (long long n : {1, 2, 3, 7, 50}) {
            std::vector<long long> starts(static_cast<size_t>(n) + 1, -1), lines(starts);
            ASSERT_EQ(csv_line_ranges_find_fd(fd, n, starts.data(), lines.data()), 0);
            std::vector<long long> in_memory(starts.size()), memory_lines(starts.size());
            ASSERT_EQ(csv_line_ranges_find_memory(text.data(), size, n, in_memory.data(), memory_lines.data()), 0);
            EXPECT_EQ(in_memory, starts);
            EXPECT_EQ(memory_lines, lines);
            for (long long k = 0; k <= n; k++) {
                long long start = size, line = last_line;
                for (const Record &record : records)
                    if (record.offset >= (k < n ? size * k / n : size)) {
                        start = record.offset;
                        line = record.line;
                        break;
                    }
                EXPECT_EQ(starts[static_cast<size_t>(k)], start) << "range " << k << " of " << n;
                EXPECT_EQ(lines[static_cast<size_t>(k)], line) << "range " << k << " of " << n;
            }
        }
        close(fd);
    }
    int ends[2];
    ASSERT_EQ(pipe(ends), 0);
    long long starts[3];
    EXPECT_EQ(csv_line_ranges_find_fd(ends[0], 2, starts, nullptr), -1);
    EXPECT_EQ(errno, ESPIPE);
    close(ends[0]);
    close(ends[1]);
}

TEST(Reader, ColumnsByName)
{
    const std::string text = "id,\"unit price\",id\n1,2,3\n";
    csv_line_reader_options options = {',', 1, 0, 0, 0, 0, 0, 0, 0, 0};
    csv_line_reader *reader = csv_line_reader_open_memory(text.data(), text.size(), &options);
    EXPECT_EQ(csv_line_reader_column_count(reader), 3);
    EXPECT_EQ(csv_line_reader_column_find(reader, "unit price", 10), 1);
    EXPECT_EQ(csv_line_reader_column_find(reader, "id", 2), 0) << "the first of two";
    EXPECT_EQ(csv_line_reader_column_find(reader, "price", 5), -1);
    EXPECT_EQ(csv_line_reader_column_name(reader, 3).length, 0);
    csv_line_reader_close(reader);
}

// What a reader of the text on one thread from memory reads, which every
// source and thread count must read too.
Reading ReadEverywhere(const std::string &text, const Options &options)
{
    const Reading one = Read(text, options, Source::memory, 1);
    for (Source source : sources)
        for (int threads : thread_counts) {
            setenv("CSV_LINE_PART_SIZE", "7", 1);
            const Reading got = Read(text, options, source, threads);
            unsetenv("CSV_LINE_PART_SIZE");
            // Messages that name the input name it as its source does.
            const auto said = [](const std::string &message) { return message.substr(message.rfind(": ") + 1); };
            EXPECT_TRUE(Same(got, one) && said(got.message) == said(one.message))
                << "from " << source_names[static_cast<int>(source)] << " on " << threads << " threads\n got "
                << Describe(got) << " " << got.message << "\n want " << Describe(one) << " " << one.message;
        }
    return one;
}

Options Encoded(int encoding, int utf8, bool lenient = false)
{
    Options options;
    options.encoding = encoding;
    options.utf8 = utf8;
    options.lenient = lenient;
    return options;
}

struct TextRow {
    const char *name;
    std::string text;
    Options options;
    std::vector<std::vector<std::string>> values;  // the records handed over
    std::vector<int> flags;                        // theirs, when lenient
    int error;
    const char *message;  // the error's, when there is one
};

TEST(Reader, TextThatIsNotUtf8OrIsInAnotherEncoding)
{
    const int AUTO = CSV_LINE_ENCODING_AUTO, STRICT = CSV_LINE_UTF8_STRICT;
    const std::vector<TextRow> rows = {
        {"UTF-8 is read", "\xc3\xa9,\xe2\x82\xac,\xf0\x9d\x84\x9e\n", Encoded(AUTO, STRICT),
         {{"\xc3\xa9", "\xe2\x82\xac", "\xf0\x9d\x84\x9e"}}, {}, CSV_LINE_OK, ""},
        {"a bad byte ends the reading at its record", "a,b\nc,d\xff\ne,f\n", Encoded(AUTO, STRICT), {{"a", "b"}}, {},
         CSV_LINE_ERROR_ENCODING, "line 2: field 2: column 4: not UTF-8 (byte 0xFF)"},
        {"its column counts characters", "\xc3\xa9,\xe2\x82\xac,x\xff\n", Encoded(AUTO, STRICT), {}, {},
         CSV_LINE_ERROR_ENCODING, "line 1: field 3: column 6: not UTF-8 (byte 0xFF)"},
        {"its line is the byte's, inside quotes", "a,\"x\ny\xe9z\"\n", Encoded(AUTO, STRICT), {}, {},
         CSV_LINE_ERROR_ENCODING, "line 2: field 2: column 2: not UTF-8 (byte 0xE9)"},
        {"an overlong form is bad", "a\n\xc0\xaf\n", Encoded(AUTO, STRICT), {{"a"}}, {}, CSV_LINE_ERROR_ENCODING,
         "line 2: field 1: column 1: not UTF-8 (byte 0xC0)"},
        {"a surrogate is bad", "\xed\xa0\x80\n", Encoded(AUTO, STRICT), {}, {}, CSV_LINE_ERROR_ENCODING,
         "line 1: field 1: column 1: not UTF-8 (byte 0xED)"},
        {"a character cut by the input's end is bad", "ok\nabc\xe2\x82", Encoded(AUTO, STRICT), {{"ok"}}, {},
         CSV_LINE_ERROR_ENCODING, "line 2: field 1: column 4: not UTF-8 (byte 0xE2)"},
        {"a malformed field before a bad byte is said first", "a\n\"b\"c\nd\xff\n", Encoded(AUTO, STRICT), {{"a"}}, {},
         CSV_LINE_ERROR_MALFORMED, "line 2: field 1: a quote inside an unquoted field or after a closing quote"},
        {"a bad byte before a malformed field is said first", "a\nd\xff\n\"b\"c\n", Encoded(AUTO, STRICT), {{"a"}}, {},
         CSV_LINE_ERROR_ENCODING, "line 2: field 1: column 2: not UTF-8 (byte 0xFF)"},
        {"a header that is not UTF-8", "caf\xe9,b\n1,2\n", [] {
             Options o = Encoded(CSV_LINE_ENCODING_AUTO, CSV_LINE_UTF8_STRICT);
             o.header = true;
             return o;
         }(), {}, {}, CSV_LINE_ERROR_ENCODING, "line 1: field 1: the header is not UTF-8 (byte 0xE9)"},
        {"a header that is not UTF-8", "caf\xe9,b\n1,2\n", [] {
             Options o = Encoded(CSV_LINE_ENCODING_AUTO, CSV_LINE_UTF8_STRICT);
             o.header = true;
             return o;
         }(), {}, {}, CSV_LINE_ERROR_ENCODING, "line 1: field 1: the header is not UTF-8 (byte 0xE9)"},
        {"lenient: flagged and read on", "a\nb\xff\nc\n", Encoded(AUTO, STRICT, true), {{"a"}, {"b\xff"}, {"c"}},
         {0, CSV_LINE_RECORD_NOT_UTF8, 0}, CSV_LINE_OK, ""},
        {"replace: U+FFFD for each bad sequence", "c,d\xff\xe2\x82\n\xe9\n", Encoded(AUTO, CSV_LINE_UTF8_REPLACE),
         {{"c", "d\xef\xbf\xbd\xef\xbf\xbd"}, {"\xef\xbf\xbd"}}, {}, CSV_LINE_OK, ""},
        {"raw: bytes as they are", "c,d\xff\n", Encoded(AUTO, CSV_LINE_UTF8_RAW), {{"c", "d\xff"}}, {}, CSV_LINE_OK, ""},
        {"Latin-1", "caf\xe9,\xa3,\x80\n", Encoded(CSV_LINE_ENCODING_LATIN1, STRICT),
         {{"caf\xc3\xa9", "\xc2\xa3", "\xc2\x80"}}, {}, CSV_LINE_OK, ""},
        {"Windows-1252, its unassigned bytes their own code points", "\x80,\x93q\x94,\x81\n",
         Encoded(CSV_LINE_ENCODING_CP1252, STRICT), {{"\xe2\x82\xac", "\xe2\x80\x9cq\xe2\x80\x9d", "\xc2\x81"}}, {},
         CSV_LINE_OK, ""},
        {"UTF-16LE without a mark, when asked", std::string("a\0,\0\xe9\0\n\0", 8),
         Encoded(CSV_LINE_ENCODING_UTF16LE, STRICT), {{"a", "\xc3\xa9"}}, {}, CSV_LINE_OK, ""},
        {"UTF-16: a lone surrogate is bad", std::string("\xff\xfe" "a\0\n\0\x00\xd8\n\0", 10), Encoded(AUTO, STRICT),
         {{"a"}}, {}, CSV_LINE_ERROR_ENCODING, "line 2: field 1: column 1: not UTF-8 (byte 0xED)"},
        {"UTF-16: a lone surrogate replaced", std::string("\xfe\xff\0a\0\n\xd8\x00\0\n", 10),
         Encoded(AUTO, CSV_LINE_UTF8_REPLACE), {{"a"}, {"\xef\xbf\xbd"}}, {}, CSV_LINE_OK, ""},
        {"UTF-8 asked: a UTF-16 mark is bytes", "\xff\xfe" "a\n", Encoded(CSV_LINE_ENCODING_UTF8, CSV_LINE_UTF8_RAW),
         {{"\xff\xfe" "a"}}, {}, CSV_LINE_OK, ""},
    };
    for (const TextRow &row : rows) {
        SCOPED_TRACE(row.name);
        const Reading got = ReadEverywhere(row.text, row.options);
        std::vector<std::vector<std::string>> values;
        std::vector<int> flags;
        for (const Record &record : got.records) {
            values.push_back(record.values);
            flags.push_back(record.flags);
        }
        EXPECT_EQ(values, row.values);
        if (!row.flags.empty()) {
            EXPECT_EQ(flags, row.flags);
        }
        EXPECT_EQ(got.error, row.error);
        EXPECT_EQ(got.message, row.message);
    }
}

TEST(Reader, OptionsOutOfTheirRangeAreRefused)
{
    for (const auto &[name, options] : std::vector<std::pair<const char *, csv_line_reader_options>>{
             {"no encoding 6", {',', 0, 0, 0, 0, 0, 0, 6, 0, 0}},
             {"no policy 3 for text that is not UTF-8", {',', 0, 0, 0, 0, 0, 0, 0, 3, 0}},
             {"no guess 4", {',', 0, 0, 0, 0, 0, 0, 0, 0, 4}}}) {
        SCOPED_TRACE(name);
        csv_line_reader *reader = csv_line_reader_open_memory("a\n", 2, &options);
        EXPECT_EQ(csv_line_reader_error(reader)->code, CSV_LINE_ERROR_OPTIONS);
        EXPECT_STREQ(csv_line_reader_error(reader)->message, name);
        csv_line_reader_close(reader);
    }
}

// A text of records of every kind, long enough for many ranges.
std::string ManyRecords(int count)
{
    std::string text = "id,note,price\n";
    for (int r = 0; r < count; r++)
        text += std::to_string(r) + (r % 3 == 0 ? ",\"a \"\"b\"\"\nc\"," : ",plain,") + std::to_string(r * 7 % 1000) + ".5\n";
    return text;
}

// A compressed input cut short or corrupt: the records before the damage
// are handed over whole, then an error names the byte of the input.
TEST(Reader, CutOffOrCorruptStreamsHandOverTheRecordsBefore)
{
    const std::string text = ManyRecords(3000);
    const Reading whole = Read(text, {}, Source::memory, 1);
    std::vector<std::pair<std::string, std::string>> damaged;  // input, its error's message after the name
#if defined(CSV_LINE_TEST_ZLIB)
    const std::string gzip = Gzip(text);
    for (size_t cut : {size_t{2}, size_t{10}, gzip.size() / 2, gzip.size() - 4, gzip.size() - 1})
        damaged.push_back({gzip.substr(0, cut), "the gzip stream is cut off at byte " + std::to_string(cut)});
    damaged.push_back({gzip + "x", "bytes that are not gzip after the end of a gzip member at byte " +
                                       std::to_string(gzip.size())});
    std::string bad_check = gzip;
    bad_check[bad_check.size() - 6] ^= 0x55;  // the CRC
    damaged.push_back({bad_check, "the gzip stream is corrupt (incorrect data check) at byte " +
                                      std::to_string(gzip.size() - 4)});
#endif
#if defined(CSV_LINE_TEST_ZSTD)
    const std::string zstd = Zstd(text);
    for (size_t cut : {size_t{4}, size_t{9}, zstd.size() / 2, zstd.size() - 1})
        damaged.push_back({zstd.substr(0, cut), "the zstd stream is cut off at byte " + std::to_string(cut)});
    std::string bad_block = zstd;
    bad_block[zstd.size() / 2] ^= 0x55;
    damaged.push_back({bad_block, ") in the frame at byte 0"});  // libzstd names the fault
#endif
#if !defined(CSV_LINE_TEST_ZLIB)
    damaged.push_back({"\x1f\x8b\x08", "gzip input, which this build cannot read (it was built without zlib)"});
#endif
#if !defined(CSV_LINE_TEST_ZSTD)
    damaged.push_back({"\x28\xb5\x2f\xfd", "zstd input, which this build cannot read (it was built without libzstd)"});
#endif
    for (const auto &[input, message] : damaged) {
        SCOPED_TRACE(message);
        const Reading got = ReadEverywhere(input, {});
        EXPECT_EQ(got.error, CSV_LINE_ERROR_COMPRESSED);
        EXPECT_NE(got.message.find(message), std::string::npos) << got.message;
        ASSERT_LE(got.records.size(), whole.records.size());
        EXPECT_TRUE(std::equal(got.records.begin(), got.records.end(), whole.records.begin()));
    }
}

// Guessed, the separator and the header are those the text shows; the
// reader says what it reads by.
TEST(Reader, GuessesTheSeparatorAndHeader)
{
    const std::string text = "name;price;city\nhoodie;12,5;Lyon\ntee;8,0;Nantes\ncap;5,25;\"Lille; Nord\"\n";
    for (Packing packing : Packings()) {
        SCOPED_TRACE(packing_names[static_cast<int>(packing)]);
        const std::string packed = Pack(text, packing);
        csv_line_reader_options options = {',', 0, 0, 0, 0, 0, 0, 0, 0,
                                           CSV_LINE_GUESS_SEPARATOR | CSV_LINE_GUESS_HEADER};
        csv_line_reader *reader = csv_line_reader_open_memory(packed.data(), packed.size(), &options);
        csv_line_dialect dialect;
        csv_line_reader_dialect(reader, &dialect);
        EXPECT_EQ(dialect.separator, ';');
        EXPECT_EQ(dialect.header, 1);
        EXPECT_EQ(dialect.encoding, packing == Packing::utf16le   ? CSV_LINE_ENCODING_UTF16LE
                                    : packing == Packing::utf16be ? CSV_LINE_ENCODING_UTF16BE
                                                                  : CSV_LINE_ENCODING_UTF8);
        EXPECT_EQ(dialect.compressed, packing == Packing::gzip || packing == Packing::gzip_members ? 1
                                      : packing == Packing::zstd || packing == Packing::zstd_frames ? 2
                                                                                                     : 0);
        const Reading got = Drain(reader);
        EXPECT_EQ(got.names, (std::vector<std::string>{"name", "price", "city"}));
        ASSERT_EQ(got.records.size(), 3u);
        EXPECT_EQ(got.records[2].values, (std::vector<std::string>{"cap", "5,25", "Lille; Nord"}));
    }
}

// The file's dialect through its compression and encoding.
TEST(Reader, SniffsAFileAsItIsRead)
{
    const std::string text = "a\tb\tc\n1\t2\t3\n4\t5\t6\n7\t8\t9\n";
    const TempFile file(Pack(text, Packings().size() > 3 ? Packings()[1] : Packing::utf16le));
    csv_line_dialect dialect;
    csv_line_error error;
    EXPECT_GE(csv_line_sniff_path(file.path.c_str(), &dialect, &error), 0);
    EXPECT_EQ(dialect.separator, '\t');
    EXPECT_EQ(dialect.line_ending, CSV_LINE_ENDING_LF);
    EXPECT_EQ(csv_line_sniff_path("/nonexistent/csv_line", &dialect, &error), -1);
    EXPECT_EQ(error.code, CSV_LINE_ERROR_IO);
}

// A compressed file's bytes are no records: its ranges are refused.
TEST(Reader, RangesOfACompressedFileAreRefused)
{
    for (const std::string &packed : {std::string("\x1f\x8b\x08\x00rest"), std::string("\x28\xb5\x2f\xfd" "rest")}) {
        long long starts[3], lines[3];
        EXPECT_EQ(csv_line_ranges_find_memory(packed.data(), static_cast<long long>(packed.size()), 2, starts, lines), -1);
        EXPECT_EQ(errno, ENOTSUP);
        const TempFile file(packed);
        const int fd = open(file.path.c_str(), O_RDONLY);
        EXPECT_EQ(csv_line_ranges_find_fd(fd, 2, starts, lines), -1);
        EXPECT_EQ(errno, ENOTSUP);
        close(fd);
    }
}

}  // namespace
