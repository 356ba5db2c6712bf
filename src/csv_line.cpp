// parse_csv_line, parse_csv_span and parse_csv_record run the best kernel
// this processor can run, chosen once.

#include "csv_line.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "kernels.h"

#if defined(__has_feature)
#if __has_feature(memory_sanitizer)
#define CSV_LINE_MSAN 1
#endif
#endif

#ifdef CSV_LINE_SSE2  // the block kernels, built on x86-64
#include <cpuid.h>
#endif
#ifdef CSV_LINE_NEON  // the block kernels, built on 64-bit ARM
#include <asm/hwcap.h>
#include <sys/auxv.h>
#endif

namespace {

int anywhere() { return 1; }

// The block kernels read whole aligned blocks, bytes past the NUL included.
// Those bytes never decide a result, but MemorySanitizer cannot know that
// and would report them as uninitialised in the caller's program; under it,
// only the portable kernel runs.
[[maybe_unused]] int block_reads_allowed()
{
#ifdef CSV_LINE_MSAN
    return 0;
#else
    return 1;
#endif
}

#ifdef CSV_LINE_NEON
int neon_runs_here() { return block_reads_allowed(); }
int neon_pmull_runs_here() { return block_reads_allowed() && (getauxval(AT_HWCAP) & HWCAP_PMULL) != 0; }
#endif

#ifdef CSV_LINE_SSE2

// The register state the operating system saves on a context switch (XCR0),
// or 0 where it does not say.
unsigned long long saved_state()
{
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx) || !(ecx & bit_OSXSAVE))
        return 0;
    unsigned low, high;
    __asm__("xgetbv" : "=a"(low), "=d"(high) : "c"(0));
    return (static_cast<unsigned long long>(high) << 32) | low;
}

int has_avx2()
{
    const unsigned long long ymm_state = 0x6;  // SSE and AVX registers
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return 0;
    const bool leaf1 = (ecx & bit_AVX) && (ecx & bit_POPCNT) && (ecx & bit_PCLMUL);
    if (!leaf1 || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return 0;
    const bool leaf7 = (ebx & bit_AVX2) && (ebx & bit_BMI) && (ebx & bit_BMI2);
    return leaf7 && (saved_state() & ymm_state) == ymm_state;
}

#ifdef CSV_LINE_AVX512
// AVX-512 F and BW, and with vbmi2, VL and VBMI2 as well.
int has_avx512(bool vbmi2)
{
    const unsigned long long zmm_state = 0xE6;  // SSE, AVX, opmask and all of ZMM
    unsigned eax, ebx, ecx, edx;
    if (!has_avx2() || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return 0;
    const bool leaf7 = (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) &&
                       (!vbmi2 || ((ebx & bit_AVX512VL) && (ecx & bit_AVX512VBMI2)));
    return leaf7 && (saved_state() & zmm_state) == zmm_state;
}

int avx512_runs_here() { return block_reads_allowed() && has_avx512(true); }
int avx512bw_runs_here() { return block_reads_allowed() && has_avx512(false); }
#endif

int sse2_runs_here() { return block_reads_allowed(); }
int avx2_runs_here() { return block_reads_allowed() && has_avx2(); }

#endif

}  // namespace

extern "C" {

const struct csv_line_kernel csv_line_kernels[] = {
#ifdef CSV_LINE_AVX512
    {"avx512", csv_line_split_avx512, csv_line_span_avx512, csv_line_record_avx512, avx512_runs_here},
    {"avx512bw", csv_line_split_avx512bw, csv_line_span_avx512bw, csv_line_record_avx512bw, avx512bw_runs_here},
#endif
#ifdef CSV_LINE_AVX2
    {"avx2", csv_line_split_avx2, csv_line_span_avx2, csv_line_record_avx2, avx2_runs_here},
#endif
#ifdef CSV_LINE_SSE2
    {"sse2", csv_line_split_sse2, csv_line_span_sse2, csv_line_record_sse2, sse2_runs_here},
#endif
#ifdef CSV_LINE_NEON
    {"neon", csv_line_split_neon, csv_line_span_neon, csv_line_record_neon, neon_pmull_runs_here},
    {"neon_nopmull", csv_line_split_neon_nopmull, csv_line_span_neon_nopmull, csv_line_record_neon_nopmull,
     neon_runs_here},
#endif
    {"portable", csv_line_split_portable, csv_line_span_portable, csv_line_record_portable, anywhere},
};
const int csv_line_kernel_count = sizeof csv_line_kernels / sizeof csv_line_kernels[0];

}

namespace {

// The kernel in use; null until the first call chooses it.
std::atomic<const csv_line_kernel *> active{nullptr};

const csv_line_kernel *best_kernel()
{
    const csv_line_kernel *kernel = csv_line_kernels;
    while (!kernel->runs_here())
        kernel++;  // the last one runs anywhere
    return kernel;
}

const csv_line_kernel *forced_kernel(const char *name)
{
    for (const csv_line_kernel *kernel = csv_line_kernels; kernel != csv_line_kernels + csv_line_kernel_count; kernel++)
        if (std::strcmp(kernel->name, name) == 0)
            return kernel->runs_here() ? kernel : nullptr;
    return nullptr;
}

// The first call's choice. Threads that race here choose alike, and only
// the one whose choice stands tells of a name it could not follow. Kept
// out of line, so that every later call is a load, a test and a jump.
__attribute__((cold, noinline)) const csv_line_kernel *choose_kernel()
{
    const char *name = std::getenv("CSV_LINE_KERNEL");
    const bool asked = name != nullptr && *name != '\0';
    const csv_line_kernel *forced = asked ? forced_kernel(name) : nullptr;
    const csv_line_kernel *chosen = forced != nullptr ? forced : best_kernel();
    const csv_line_kernel *earlier = nullptr;
    if (!active.compare_exchange_strong(earlier, chosen, std::memory_order_acq_rel))
        return earlier;
    if (asked && forced == nullptr)
        std::fprintf(stderr, "csv_line: CSV_LINE_KERNEL=%s names no kernel that can run here; using %s\n",
                     name, chosen->name);
    return chosen;
}

const csv_line_kernel *kernel_in_use()
{
    const csv_line_kernel *kernel = active.load(std::memory_order_acquire);
    return kernel != nullptr ? kernel : choose_kernel();
}

}  // namespace

int parse_csv_line(const char *line, char (*fields)[FIELD_SIZE], int max_fields)
{
    return kernel_in_use()->split(line, fields, max_fields);
}

int parse_csv_span(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields)
{
    return kernel_in_use()->span(line, length, fields, max_fields);
}

int parse_csv_record(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields, int *record_length)
{
    return kernel_in_use()->record(text, length, fields, max_fields, record_length);
}

const char *csv_line_kernel_name(void) { return kernel_in_use()->name; }
