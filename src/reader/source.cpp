// Where a reader's bytes come from: a descriptor, a stream, a read
// function or memory, with what the threads read ahead taken first; the
// buffer that holds them; and opening and closing a reader.

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "csv_line.h"
#include "reader.h"

namespace {

constexpr size_t READ_SIZE = 1 << 18;      // bytes asked of a descriptor or stream at a time
constexpr size_t MEMORY_WINDOW = 1 << 20;  // bytes of memory indexed at a time
constexpr int FIRST_FIELDS = 1 << 14;      // table entries to begin with; they grow as records need
constexpr int PIPE_SIZE = 1 << 20;         // a pipe's buffer, asked for

}  // namespace

namespace reading {

namespace {

// The source itself. A stage's thread calls it too: it reads only what
// stays as it is once the reader is open.
long long read_raw(const csv_line_reader *reader, char *out, size_t n)
{
    if (reader->read != nullptr) {
        errno = 0;
        const long long got = reader->read(reader->read_context, out, n);
        if (got < 0 || static_cast<unsigned long long>(got) > n) {
            errno = errno != 0 ? errno : EIO;
            return -1;
        }
        return got;
    }
    if (reader->file != nullptr) {
        const size_t got = std::fread(out, 1, n, reader->file);
        if (got == 0 && std::ferror(reader->file)) {
            errno = errno != 0 ? errno : EIO;
            return -1;
        }
        return static_cast<long long>(got);
    }
    for (;;) {
        const ssize_t got = read(reader->fd, out, n);
        if (got >= 0 || errno != EINTR)
            return got;
    }
}

long long read_source(csv_line_reader *reader, char *out, size_t n)
{
    return reader->source_ended ? 0 : read_raw(reader, out, n);
}

}  // namespace

long long read_more(csv_line_reader *reader, char *out, size_t n)
{
    while (reader->piece_next < reader->piece_count) {
        Piece &piece = reader->pieces[reader->piece_next];
        const size_t left = piece.size - reader->piece_taken;
        if (left == 0) {
            std::free(piece.owned);
            piece.owned = nullptr;
            reader->piece_next++;
            reader->piece_taken = 0;
            continue;
        }
        const size_t taken = n < left ? n : left;
        std::memcpy(out, piece.bytes + reader->piece_taken, taken);
        reader->piece_taken += taken;
        return static_cast<long long>(taken);
    }
    if (reader->stage != nullptr)
        return csv_line::input::stage_read(reader->stage, out, n);
    if (reader->source_errno != 0) {
        errno = reader->source_errno;
        return -1;
    }
    return read_source(reader, out, n);
}

void fail_read(csv_line_reader *reader)
{
    if (reader->stage != nullptr && csv_line::input::stage_error(reader->stage).code != CSV_LINE_OK) {
        const csv_line_error &said = csv_line::input::stage_error(reader->stage);
        errno = said.system;
        fail(&reader->error, said.code, 0, 0, "%s", said.message);
        return;
    }
    fail_io(&reader->error, reader->name);
}

bool say_pending(csv_line_reader *reader)
{
    if (reader->pending.code == CSV_LINE_OK)
        return false;
    if (reader->error.code == CSV_LINE_OK)
        reader->error = reader->pending;
    return true;
}

bool hold(csv_line_reader *reader, size_t want)
{
    if (reader->memory != nullptr) {
        // Memory is all held already; a window of it is indexed at a time.
        const size_t window = want > MEMORY_WINDOW ? want : MEMORY_WINDOW;
        const size_t left = reader->memory_size - reader->at;
        reader->held = reader->at + (left < window ? left : window);
        reader->ended = reader->held == reader->memory_size;
        return true;
    }
    if (reader->held - reader->at >= want || reader->ended)
        return true;
    if (reader->at > 0) {
        std::memmove(reader->buffer, reader->buffer + reader->at, reader->held - reader->at);
        reader->offset += static_cast<long long>(reader->at);
        reader->held -= reader->at;
        reader->at = 0;
    }
    const size_t wanted_room = want > READ_SIZE ? want : READ_SIZE;  // at most the limit and a byte
    if (reader->capacity < wanted_room) {
        char *bigger = static_cast<char *>(std::realloc(reader->buffer, wanted_room));
        if (bigger == nullptr) {
            fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
            return false;
        }
        reader->buffer = bigger;
        reader->capacity = wanted_room;
    }
    while (reader->held < want && !reader->ended) {
        const long long got = read_more(reader, reader->buffer + reader->held, reader->capacity - reader->held);
        if (got < 0 && reader->held > reader->at) {
            // The records the bytes held end are handed over first.
            csv_line_error said = {};
            std::swap(said, reader->error);
            fail_read(reader);
            std::swap(said, reader->error);
            reader->pending = said;
            reader->ended = true;
            break;
        }
        if (got < 0) {
            fail_read(reader);
            return false;
        }
        reader->ended = got == 0;
        reader->held += static_cast<size_t>(got);
    }
    return true;
}

bool skip_line(csv_line_reader *reader)
{
    for (;;) {
        const char *bytes = held_bytes(reader);
        const void *lf = std::memchr(bytes + reader->at, '\n', reader->held - reader->at);
        if (lf != nullptr) {
            reader->at = static_cast<size_t>(static_cast<const char *>(lf) - bytes) + 1;
            return true;
        }
        reader->at = reader->held;
        if (reader->ended && (reader->memory == nullptr || reader->held == reader->memory_size))
            return true;
        if (!hold(reader, 1))
            return false;
        if (reader->held == reader->at)
            return true;
    }
}

}  // namespace reading

using namespace reading;

namespace {

csv_line_reader *new_reader(const csv_line_reader_options *options, const char *name)
{
    csv_line_reader *reader = static_cast<csv_line_reader *>(std::calloc(1, sizeof(csv_line_reader)));
    if (reader == nullptr)
        return nullptr;
    reader->fd = -1;
    reader->want = 1;
    std::snprintf(reader->name, sizeof reader->name, "%s", name);
    const csv_line_reader_options none = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    const csv_line_reader_options &given = options != nullptr ? *options : none;
    reader->separator = given.separator != 0 ? given.separator : ',';
    reader->header = given.header != 0;
    reader->limit = given.record_limit != 0 ? given.record_limit : CSV_LINE_DEFAULT_RECORD_LIMIT;
    reader->field_limit = given.field_limit != 0 ? given.field_limit : CSV_LINE_DEFAULT_FIELD_LIMIT;
    reader->threads = given.threads != 0 ? given.threads : 1;
    reader->lenient = given.lenient != 0;
    reader->decode_later = given.decode_on_demand != 0;
    reader->encoding = given.encoding;
    reader->invalid_utf8 = given.invalid_utf8;
    reader->guess = given.guess;
    csv_line_field probe;
    if (parse_csv_fields("", 0, reader->separator, &probe, 1, nullptr) < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "the separator cannot be %s: it ends or quotes fields",
             reader->separator == '"' ? "the quote" : reader->separator == '\n' ? "LF" : "CR");
    else if (reader->limit < 0 || reader->field_limit < 0 || reader->threads < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "a negative %s",
             reader->limit < 0 ? "record limit" : reader->field_limit < 0 ? "field limit" : "thread count");
    else if (reader->encoding < CSV_LINE_ENCODING_AUTO || reader->encoding > CSV_LINE_ENCODING_CP1252)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "no encoding %d", reader->encoding);
    else if (reader->invalid_utf8 < CSV_LINE_UTF8_STRICT || reader->invalid_utf8 > CSV_LINE_UTF8_RAW)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "no policy %d for text that is not UTF-8",
             reader->invalid_utf8);
    else if ((reader->guess & ~(CSV_LINE_GUESS_SEPARATOR | CSV_LINE_GUESS_HEADER)) != 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "no guess %d", reader->guess);
    const int first_fields = reader->field_limit > 0 && reader->field_limit < FIRST_FIELDS ? reader->field_limit : FIRST_FIELDS;
    if (!reader->tables.reserve_fields(&reader->error, first_fields) || !reader->tables.reserve_records(&reader->error, FIRST_FIELDS / 8))
        reader->failed = true;
    return reader;
}

// Puts a stage between the source and the buffer when the input's first
// bytes or the options ask for one: a packed input, or text that is not
// UTF-8 as it stands. Returns false after an error, said.
bool place_stage(csv_line_reader *reader)
{
    using namespace csv_line::input;
    // A stream's first bytes are read into the buffer, in reads as large
    // as any other: a read function may not give fewer bytes than it has.
    size_t n = 0;
    bool ended = false;
    if (reader->memory == nullptr) {
        reader->buffer = static_cast<char *>(std::malloc(READ_SIZE));
        if (reader->buffer == nullptr) {
            fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
            return false;
        }
        reader->capacity = READ_SIZE;
    }
    while (reader->memory == nullptr && n < 4 && !ended) {
        const long long got = read_source(reader, reader->buffer + n, READ_SIZE - n);
        if (got < 0) {
            fail_read(reader);
            return false;
        }
        ended = got == 0;
        n += static_cast<size_t>(got);
    }
    const unsigned char *first = reinterpret_cast<const unsigned char *>(reader->memory != nullptr ? reader->memory : reader->buffer);
    if (reader->memory != nullptr)
        n = reader->memory_size;
    const Packing packing = packing_of(first, n);
    reader->dialect.compressed = packing == Packing::gzip ? 1 : packing == Packing::zstd ? 2 : 0;
    const int encoding = packing == Packing::plain ? encoding_of(reader->encoding, first, n) : reader->encoding;
    if (packing == Packing::plain && !transcodes(encoding, reader->invalid_utf8)) {
        if (reader->memory == nullptr) {
            reader->held = n;
            reader->source_ended = ended;
        }
        return true;
    }
    Raw raw = {};
    if (reader->memory != nullptr) {
        raw.memory = reinterpret_cast<const unsigned char *>(reader->memory);
        raw.memory_size = reader->memory_size;
        reader->memory = nullptr;
        reader->memory_size = 0;
    } else {
        raw.prefix = first;  // copied by the stage
        raw.prefix_size = n;
        raw.prefix_ended = ended;
        raw.read = [](void *context, char *out, size_t size) {
            return read_raw(static_cast<const csv_line_reader *>(context), out, size);
        };
        raw.context = reader;
    }
    // A read function is called on the caller's thread alone.
    reader->stage = stage_open(raw, packing, encoding, reader->invalid_utf8, reader->read == nullptr, reader->name);
    if (reader->stage == nullptr) {
        fail(&reader->error, CSV_LINE_ERROR_MEMORY, 0, 0, "out of memory");
        return false;
    }
    return true;
}

// Guesses the separator or the header, as the options ask, from the
// text's first bytes. Returns false after an error, said.
bool guess(csv_line_reader *reader)
{
    const size_t most = CSV_LINE_SNIFF_SAMPLE;
    const size_t sample = static_cast<size_t>(reader->limit) < most ? static_cast<size_t>(reader->limit) : most;
    if (!hold(reader, sample))
        return false;
    const size_t held = reader->held - reader->at;
    csv_line_dialect &found = reader->dialect;
    const int compressed = found.compressed;
    reader->sniffed = csv_line_sniff(held_bytes(reader) + reader->at, held < sample ? held : sample, &found);
    found.compressed = compressed;
    if (reader->guess & CSV_LINE_GUESS_SEPARATOR)
        reader->separator = found.separator;
    if (reader->guess & CSV_LINE_GUESS_HEADER)
        reader->header = found.header != 0;
    return true;
}

// Places the stage, drops a byte-order mark and reads the header, once the
// source is set.
csv_line_reader *start(csv_line_reader *reader)
{
    if (reader == nullptr || reader->error.code != CSV_LINE_OK)
        return reader;
    reader->line = 1;
    if (!place_stage(reader) || !hold(reader, 3))
        return reader;
    if (reader->held - reader->at >= 3 && std::memcmp(held_bytes(reader) + reader->at, "\xef\xbb\xbf", 3) == 0)
        reader->at += 3;
    if (reader->guess != 0 && !guess(reader))
        return reader;
    reader->resume_at = reader->at;
    csv_line_dialect &dialect = reader->dialect;
    dialect.separator = reader->separator;
    dialect.header = reader->header;
    // Bytes read as they stand are UTF-8, unless the guess found otherwise.
    if (reader->stage != nullptr)
        dialect.encoding = csv_line::input::stage_encoding(reader->stage);
    else if (reader->encoding != CSV_LINE_ENCODING_AUTO || reader->guess == 0)
        dialect.encoding = reader->encoding == CSV_LINE_ENCODING_AUTO ? CSV_LINE_ENCODING_UTF8 : reader->encoding;
    if (reader->header)
        read_header(reader);
    return reader;
}

}  // namespace

extern "C" {

csv_line_reader *csv_line_reader_open_path(const char *path, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, path);
    if (reader == nullptr || reader->error.code != CSV_LINE_OK)
        return reader;
    reader->fd = open(path, O_RDONLY | O_CLOEXEC);
    if (reader->fd < 0) {
        fail_io(&reader->error, path);
        return reader;
    }
    reader->owns_fd = true;
    return start(reader);
}

csv_line_reader *csv_line_reader_open_fd(int fd, const csv_line_reader_options *options)
{
    char name[32];
    std::snprintf(name, sizeof name, "descriptor %d", fd);
    csv_line_reader *reader = new_reader(options, fd == 0 ? "standard input" : name);
    if (reader != nullptr)
        reader->fd = fd;
#if defined(F_SETPIPE_SZ)
    // The pipe's writer and the reader take turns less often through a
    // buffer of 1 MiB: a hint, which the system may refuse, and a pipe's
    // buffer only grows.
    struct stat status;
    if (reader != nullptr && fstat(fd, &status) == 0 && S_ISFIFO(status.st_mode) &&
        fcntl(fd, F_GETPIPE_SZ) < PIPE_SIZE)
        fcntl(fd, F_SETPIPE_SZ, PIPE_SIZE);
#endif
    return start(reader);
}

csv_line_reader *csv_line_reader_open_file(FILE *file, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, file == stdin ? "standard input" : "stream");
    if (reader != nullptr)
        reader->file = file;
    return start(reader);
}

csv_line_reader *csv_line_reader_open_read(csv_line_read_fn read, void *context, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, "input");
    if (reader != nullptr) {
        reader->read = read;
        reader->read_context = context;
    }
    return start(reader);
}

csv_line_reader *csv_line_reader_open_memory(const char *bytes, size_t length, const csv_line_reader_options *options)
{
    csv_line_reader *reader = new_reader(options, "memory");
    if (reader != nullptr) {
        reader->memory = length > 0 ? bytes : "";
        reader->memory_size = length;
    }
    return start(reader);
}

int csv_line_sniff_path(const char *path, csv_line_dialect *dialect, csv_line_error *error)
{
    csv_line_reader_options options = {};
    options.invalid_utf8 = CSV_LINE_UTF8_RAW;
    options.guess = CSV_LINE_GUESS_SEPARATOR | CSV_LINE_GUESS_HEADER;
    csv_line_reader *reader = csv_line_reader_open_path(path, &options);
    csv_line_error said = {};
    int found = -1;
    if (reader == nullptr) {
        said.code = CSV_LINE_ERROR_MEMORY;
        std::snprintf(said.message, sizeof said.message, "out of memory");
    } else if (reader->error.code != CSV_LINE_OK) {
        said = reader->error;
    } else {
        *dialect = reader->dialect;
        found = reader->sniffed;
    }
    if (error != nullptr)
        *error = said;
    csv_line_reader_close(reader);
    return found;
}

void csv_line_reader_close(csv_line_reader *reader)
{
    if (reader == nullptr)
        return;
    stop_threads(reader);
    csv_line::input::stage_close(reader->stage);
    for (int k = reader->piece_next; k < reader->piece_count; k++)
        std::free(reader->pieces[k].owned);
    std::free(reader->pieces);
    if (reader->owns_fd)
        close(reader->fd);
    std::free(reader->buffer);
    reader->tables.release();
    std::free(reader->names);
    std::free(reader->name_bytes);
    std::free(reader);
}

}  // extern "C"
