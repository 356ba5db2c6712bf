// Lines placed right against pages that cannot be read: a split must read
// nothing beyond the aligned blocks that hold bytes of its line.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "csv_line.h"
#include "split_checks.h"

namespace {

TEST(ParseCsvLine, ReadsNoPageOutsideTheLine)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mapped = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    // One readable page between two that fault on any read.
    char *first = static_cast<char *>(mapped) + page;
    char *end = first + page;
    ASSERT_EQ(mprotect(mapped, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);

    const std::string text = "a,\"b,c\"\"d\",,e f,ghijklmnopqrstuvwxyz,0123456789,\"\"";
    for (size_t length = 0; length <= text.size(); length++) {
        const std::string line = text.substr(0, length);
        // The NUL on the page's last byte (so the line starts at every
        // alignment), then the line on the page's first byte.
        for (char *at : {end - length - 1, first}) {
            SCOPED_TRACE("line of " + std::to_string(length) + " bytes at page offset " +
                         std::to_string(at - first));
            std::memcpy(at, line.c_str(), length + 1);
            GuardedTable table(4);
            const int count = parse_csv_line(at, table.Rows(), 4);
            EXPECT_EQ(table.Mismatch(count, ModelSplit(line, 4)), "");
        }
    }
    munmap(mapped, 3 * page);
}

}  // namespace
