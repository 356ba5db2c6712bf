#ifndef CSV_LINE_TESTS_EVERY_KERNEL_H
#define CSV_LINE_TESTS_EVERY_KERNEL_H

#include <gtest/gtest.h>

#include "split_checks.h"

// Test names and failures show a kernel and its entry by name.
inline void PrintTo(const Entry &entry, std::ostream *out) { *out << EntryName(entry); }

// A test of EveryKernel runs through the library's entries and through
// those of each kernel built in, every way in (see Way); on a kernel this
// processor cannot run it is skipped, and says so.
class EveryKernel : public testing::TestWithParam<Entry> {
protected:
    void SetUp() override
    {
        if (!csv_line_kernel_runs_here(&GetParam().kernel))
            GTEST_SKIP() << "the " << GetParam().kernel.name << " kernel cannot run here";
    }
};

#endif
