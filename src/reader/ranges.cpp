// Byte ranges of an input that begin at record starts, found in one pass
// over it through the chunk summaries: no record is indexed.

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "csv_line.h"
#include "input/stage.h"
#include "reader.h"

namespace {

constexpr long long READ_SIZE = 1 << 20;

// Range k begins at the first record start at or after byte size * k / n:
// just past the first LF outside quotes from the byte before on. The input
// comes in blocks, each cut into chunks where such a search begins;
// searches not yet answered are all answered by the next record start.
class Search {
public:
    Search(long long size, long long n, long long *starts, long long *lines)
        : size_(size), n_(n), starts_(starts), lines_(lines)
    {
        answer(0, 1);  // range 0 begins at byte 0, the first record's
        // A search that would begin before the input's first byte is
        // answered by it.
        while (searched_ < n_ && cut_at(searched_) < 0) {
            searched_++;
            answer(0, 1);
        }
    }

    // The next `length` bytes of the input, from byte `at`.
    void feed(const char *block, long long at, long long length)
    {
        for (long long cut = at; cut < at + length;) {
            long long next = at + length;
            if (searched_ < n_ && cut_at(searched_) == cut) {
                searched_++;  // a search begins here
                continue;
            }
            if (searched_ < n_ && cut_at(searched_) < next)
                next = cut_at(searched_);
            const char *chunk = block + (cut - at);
            csv_line_chunk summary;
            csv_line_chunk_scan(chunk, next - cut, &summary);
            const long long first = summary.first_record[quoted_];
            if (answered_ < searched_ && first >= 0) {
                const long long line =
                    1 + line_feeds_ + (lines_ != nullptr ? reading::count_line_feeds(chunk, size_t(first)) : 0);
                while (answered_ < searched_)
                    answer(cut + first, line);
            }
            quoted_ ^= int(summary.quotes & 1);
            line_feeds_ += summary.line_feeds;
            cut = next;
        }
    }

    // Searches left unanswered end at the input's end.
    void finish()
    {
        while (answered_ <= n_)
            answer(size_, 1 + line_feeds_);
    }

private:
    // Where the search for range k's start begins: the byte before its cut.
    long long cut_at(long long k) const { return size_ * k / n_ - 1; }

    void answer(long long start, long long line)
    {
        starts_[answered_] = start;
        if (lines_ != nullptr)
            lines_[answered_] = line;
        answered_++;
    }

    long long size_, n_;
    long long *starts_, *lines_;
    long long searched_ = 1, answered_ = 0, line_feeds_ = 0;
    int quoted_ = 0;
};

// Reads n bytes at offset, however many reads it takes; fewer only at the
// file's end or on an error (errno set).
long long read_at(int fd, char *buffer, long long n, long long offset)
{
    long long got = 0;
    errno = 0;
    while (got < n) {
        const ssize_t step = pread(fd, buffer + got, size_t(n - got), off_t(offset + got));
        if (step < 0 && errno == EINTR)
            continue;
        if (step <= 0)
            break;
        got += step;
    }
    return got;
}

}  // namespace

extern "C" int csv_line_ranges_find_fd(int fd, long long n, long long *starts, long long *lines)
{
    struct stat status;
    if (n < 1) {
        errno = EINVAL;
        return -1;
    }
    if (fstat(fd, &status) != 0)
        return -1;
    if (!S_ISREG(status.st_mode)) {
        errno = ESPIPE;
        return -1;
    }
    char *block = static_cast<char *>(std::malloc(READ_SIZE));
    if (block == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    Search search(status.st_size, n, starts, lines);
    for (long long at = 0; at < status.st_size;) {
        const long long want = status.st_size - at < READ_SIZE ? status.st_size - at : READ_SIZE;
        const long long got = read_at(fd, block, want, at);
        if (got != want) {
            const int system = errno != 0 ? errno : EIO;  // EIO: the file was cut short while read
            std::free(block);
            errno = system;
            return -1;
        }
        if (at == 0 && csv_line::input::packing_of(reinterpret_cast<const unsigned char *>(block),
                                                   static_cast<size_t>(got)) != csv_line::input::Packing::plain) {
            // A compressed file's bytes are no records.
            std::free(block);
            errno = ENOTSUP;
            return -1;
        }
        search.feed(block, at, got);
        at += got;
    }
    search.finish();
    std::free(block);
    return 0;
}

extern "C" int csv_line_ranges_find_memory(const char *text, long long length, long long n, long long *starts, long long *lines)
{
    if (n < 1 || length < 0) {
        errno = EINVAL;
        return -1;
    }
    if (csv_line::input::packing_of(reinterpret_cast<const unsigned char *>(text), static_cast<size_t>(length)) !=
        csv_line::input::Packing::plain) {
        errno = ENOTSUP;
        return -1;
    }
    Search search(length, n, starts, lines);
    search.feed(text, 0, length);
    search.finish();
    return 0;
}
