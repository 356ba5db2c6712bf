// Lines placed right against pages that cannot be read: a split must read
// nothing beyond the aligned blocks that hold bytes of its line, and a span
// or a record (or a chunk) nothing before its first byte.

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <string>

#include "every_kernel.h"
#include "split_checks.h"

namespace {

TEST_P(EveryKernel, ReadsNoPageOutsideTheLine)
{
    const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
    void *mapped = mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(mapped, MAP_FAILED);
    // One readable page between two that fault on any read.
    char *first = static_cast<char *>(mapped) + page;
    char *end = first + page;
    ASSERT_EQ(mprotect(mapped, page, PROT_NONE), 0);
    ASSERT_EQ(mprotect(end, page, PROT_NONE), 0);

    // Long enough to cross two 64-byte blocks from any start; as a record it
    // ends at its CR LF, past a quoted LF.
    const std::string text = "a,\"b,c\"\"d\",,e f,ghijklmnopqrstuvwxyz,0123456789,\"\",\"quoted, \n"
                             "across the blocks\",ABCDEFGHIJKLMNOPQRSTUVWXYZ,0,1,2,3,4,5,6,7,8,9,"
                             "the last field,\r\nof the line";
    const Entry &entry = GetParam();
    const bool terminated = entry.way == Way::line;
    for (size_t length = 0; length <= text.size(); length++) {
        const std::string line = text.substr(0, length);
        // The line's NUL on the page's last byte, or a span's last byte
        // there (so the line starts at every alignment); then the line on
        // the page's first byte.
        for (char *at : {end - length - (terminated ? 1 : 0), first}) {
            SCOPED_TRACE("line of " + std::to_string(length) + " bytes at page offset " +
                         std::to_string(at - first));
            // Around a span, bytes that would change its fields if taken
            // for part of it.
            for (char *p = first; p != end; p++)
                *p = (p - first) % 3 == 0 ? '"' : ',';
            std::memcpy(at, line.c_str(), length + (terminated ? 1 : 0));
            int record_length = 0;
            if (entry.way == Way::index) {
                // Every record the bytes end, as the portable kernel finds
                // them from the same bytes.
                csv_line_field fields[2][48];
                int records[2][8];
                csv_line_index index[2];
                for (int k = 0; k < 2; k++) {
                    index[k] = {fields[k], 48, records[k], 8, 0, 0, 0, 0, 0, 0, 0};
                    const csv_line_kernel &kernel = k == 0 ? entry.kernel : csv_line_portable_kernel;
                    kernel.records(at, static_cast<int>(length), ',', &index[k]);
                }
                ASSERT_EQ(Describe(index[0]), Describe(index[1]));
                for (int f = 0; f < index[0].field_count; f++)
                    ASSERT_EQ(Describe(fields[0][f]), Describe(fields[1][f])) << "field " << f;
                continue;
            }
            if (entry.way == Way::fields) {
                GuardedFields positions(24);
                const int count = entry.kernel.fields(at, static_cast<int>(length), ',', positions.Entries(), 24,
                                                      &record_length);
                const ModelFieldsResult want = ModelFields(line, ',', 24);
                ASSERT_EQ(positions.Mismatch(count, want.fields), "");
                ASSERT_EQ(record_length, want.length);
                continue;
            }
            GuardedTable table(24);
            const int count = Split(entry, at, static_cast<int>(length), table.Rows(), 24, &record_length);
            const ModelRecordResult record = ModelRecord(line, 24);
            ASSERT_EQ(table.Mismatch(count, entry.way == Way::record ? record.fields : ModelSplit(line, 24)), "");
            if (entry.way == Way::record) {
                ASSERT_EQ(record_length, record.length);
                csv_line_chunk summary;
                entry.kernel.chunk(at, static_cast<long long>(length), &summary);
                const csv_line_chunk want = ModelChunk(line);
                ASSERT_EQ(Describe(summary), Describe(want)) << "as a chunk";
            }
        }
    }
    munmap(mapped, 3 * page);
}

std::string TestName(const testing::TestParamInfo<Entry> &info) { return EntryName(info.param); }

INSTANTIATE_TEST_SUITE_P(, EveryKernel, testing::ValuesIn(EntriesUnderTest()), TestName);

}  // namespace
