// Byte ranges of a file that begin at record starts, found in one read of
// the file from the chunk summaries: no record is indexed.

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "csv_line.h"

namespace {

constexpr long long READ_SIZE = 1 << 20;

long long count_line_feeds(const char *p, size_t n)
{
    long long count = 0;
    for (const char *end = p + n; (p = static_cast<const char *>(std::memchr(p, '\n', size_t(end - p)))) != nullptr;
         p++)
        count++;
    return count;
}

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

extern "C" int csv_file_ranges(int fd, long long n, long long *starts, long long *lines)
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
    const long long size = status.st_size;
    // Range k begins at the first record start at or after byte
    // size * k / n: just past the first LF outside quotes from the byte
    // before on. The file is read in blocks, each cut into chunks where
    // such a search begins; searches not yet answered are all answered by
    // the next record start found.
    long long searched = 1, answered, at = 0, line_feeds = 0;
    int quoted = 0;
    starts[0] = 0;
    if (lines != nullptr)
        lines[0] = 1;
    // A search that would begin before the file's first byte is answered
    // by it.
    for (; searched < n && size * searched / n == 0; searched++) {
        starts[searched] = 0;
        if (lines != nullptr)
            lines[searched] = 1;
    }
    answered = searched;
    while (at < size) {
        const long long want = size - at < READ_SIZE ? size - at : READ_SIZE;
        const long long got = read_at(fd, block, want, at);
        if (got != want) {
            const int system = errno != 0 ? errno : EIO;  // EIO: the file was cut short while read
            std::free(block);
            errno = system;
            return -1;
        }
        for (long long cut = at; cut < at + got;) {
            long long next = at + got;
            if (searched < n && size * searched / n - 1 == cut) {
                searched++;  // a search begins here
                continue;
            }
            if (searched < n && size * searched / n - 1 < next)
                next = size * searched / n - 1;
            const char *chunk = block + (cut - at);
            csv_chunk summary;
            csv_scan_chunk(chunk, next - cut, &summary);
            const long long first = summary.first_record[quoted];
            if (answered < searched && first >= 0) {
                const long long line = 1 + line_feeds + (lines != nullptr ? count_line_feeds(chunk, size_t(first)) : 0);
                for (; answered < searched; answered++) {
                    starts[answered] = cut + first;
                    if (lines != nullptr)
                        lines[answered] = line;
                }
            }
            quoted ^= int(summary.quotes & 1);
            line_feeds += summary.line_feeds;
            cut = next;
        }
        at += got;
    }
    for (; answered <= n; answered++) {
        starts[answered] = size;
        if (lines != nullptr)
            lines[answered] = 1 + line_feeds;
    }
    std::free(block);
    return 0;
}
