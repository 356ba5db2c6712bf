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

#include "csv_line.h"
#include "reader.h"

namespace {

constexpr size_t READ_SIZE = 1 << 18;      // bytes asked of a descriptor or stream at a time
constexpr size_t MEMORY_WINDOW = 1 << 20;  // bytes of memory indexed at a time
constexpr int FIRST_FIELDS = 1 << 14;      // table entries to begin with; they grow as records need
constexpr int PIPE_SIZE = 1 << 20;         // a pipe's buffer, asked for

}  // namespace

namespace reading {

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
    if (reader->source_errno != 0) {
        errno = reader->source_errno;
        return -1;
    }
    if (reader->source_ended)
        return 0;
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
        if (got < 0) {
            fail_io(&reader->error, reader->name);
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
    const csv_line_reader_options none = {0, 0, 0, 0, 0, 0, 0};
    const csv_line_reader_options &given = options != nullptr ? *options : none;
    reader->separator = given.separator != 0 ? given.separator : ',';
    reader->header = given.header != 0;
    reader->limit = given.record_limit != 0 ? given.record_limit : CSV_LINE_DEFAULT_RECORD_LIMIT;
    reader->field_limit = given.field_limit != 0 ? given.field_limit : CSV_LINE_DEFAULT_FIELD_LIMIT;
    reader->threads = given.threads != 0 ? given.threads : 1;
    reader->lenient = given.lenient != 0;
    reader->decode_later = given.decode_on_demand != 0;
    csv_line_field probe;
    if (parse_csv_fields("", 0, reader->separator, &probe, 1, nullptr) < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "the separator cannot be %s: it ends or quotes fields",
             reader->separator == '"' ? "the quote" : reader->separator == '\n' ? "LF" : "CR");
    else if (reader->limit < 0 || reader->field_limit < 0 || reader->threads < 0)
        fail(&reader->error, CSV_LINE_ERROR_OPTIONS, 0, 0, "a negative %s",
             reader->limit < 0 ? "record limit" : reader->field_limit < 0 ? "field limit" : "thread count");
    const int first_fields = reader->field_limit > 0 && reader->field_limit < FIRST_FIELDS ? reader->field_limit : FIRST_FIELDS;
    if (!reader->tables.reserve_fields(&reader->error, first_fields) || !reader->tables.reserve_records(&reader->error, FIRST_FIELDS / 8))
        reader->failed = true;
    return reader;
}

// Drops a byte-order mark and reads the header, once the source is set.
csv_line_reader *start(csv_line_reader *reader)
{
    if (reader == nullptr || reader->error.code != CSV_LINE_OK)
        return reader;
    reader->line = 1;
    if (!hold(reader, 3))
        return reader;
    if (reader->held - reader->at >= 3 && std::memcmp(held_bytes(reader) + reader->at, "\xef\xbb\xbf", 3) == 0)
        reader->at += 3;
    reader->resume_at = reader->at;
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

void csv_line_reader_close(csv_line_reader *reader)
{
    if (reader == nullptr)
        return;
    stop_threads(reader);
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
