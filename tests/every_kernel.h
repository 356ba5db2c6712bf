#ifndef CSV_LINE_TESTS_EVERY_KERNEL_H
#define CSV_LINE_TESTS_EVERY_KERNEL_H

#include <gtest/gtest.h>

#include "split_checks.h"

// Test names and failures show a kernel by its name.
inline void PrintTo(const csv_line_kernel &kernel, std::ostream *out) { *out << kernel.name; }

// A test of EveryKernel runs once for parse_csv_line and once for each
// kernel built in; on a kernel this processor cannot run it is skipped, and
// says so.
class EveryKernel : public testing::TestWithParam<csv_line_kernel> {
protected:
    void SetUp() override
    {
        if (!GetParam().runs_here())
            GTEST_SKIP() << "the " << GetParam().name << " kernel cannot run here";
    }
};

#endif
