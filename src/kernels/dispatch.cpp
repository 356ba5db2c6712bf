// The table of kernels, best first, and the choice among them: made once,
// from what the processor and its operating system provide, or from
// CSV_LINE_KERNEL.

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

// The block kernels read whole aligned blocks, bytes past the NUL included.
// Those bytes never decide a result, but MemorySanitizer cannot know that
// and would report them as uninitialised in the caller's program; under it,
// only the portable kernel runs.
constexpr bool block_reads_allowed()
{
#ifdef CSV_LINE_MSAN
    return false;
#else
    return true;
#endif
}

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

// The CSV_LINE_NEEDS_ bits this x86-64 processor and its OS provide.
unsigned x86_features()
{
    const unsigned long long ymm_state = 0x6;   // SSE and AVX registers
    const unsigned long long zmm_state = 0xE6;  // those, opmask and all of ZMM
    unsigned eax, ebx, ecx, edx;
    if (!__get_cpuid(1, &eax, &ebx, &ecx, &edx))
        return 0;
    const bool leaf1 = (ecx & bit_AVX) && (ecx & bit_POPCNT) && (ecx & bit_PCLMUL);
    if (!leaf1 || !__get_cpuid_count(7, 0, &eax, &ebx, &ecx, &edx))
        return 0;
    const unsigned long long state = saved_state();
    unsigned have = 0;
    if ((ebx & bit_AVX2) && (ebx & bit_BMI) && (ebx & bit_BMI2) && (state & ymm_state) == ymm_state)
        have |= CSV_LINE_NEEDS_AVX2;
    if ((have & CSV_LINE_NEEDS_AVX2) && (ebx & bit_AVX512F) && (ebx & bit_AVX512BW) && (state & zmm_state) == zmm_state)
        have |= CSV_LINE_NEEDS_AVX512BW;
    if ((have & CSV_LINE_NEEDS_AVX512BW) && (ebx & bit_AVX512VL) && (ecx & bit_AVX512VBMI2))
        have |= CSV_LINE_NEEDS_AVX512VBMI2;
    return have;
}

#endif

// Every CSV_LINE_NEEDS_ bit this processor and its OS provide.
unsigned features_here()
{
    unsigned have = block_reads_allowed() ? CSV_LINE_NEEDS_BLOCK_READS : 0;
#ifdef CSV_LINE_SSE2
    have |= x86_features();
#endif
#ifdef CSV_LINE_NEON
    if ((getauxval(AT_HWCAP) & HWCAP_PMULL) != 0)
        have |= CSV_LINE_NEEDS_PMULL;
#endif
    return have;
}

}  // namespace

extern "C" {

const struct csv_line_kernel *const csv_line_kernels[] = {
#ifdef CSV_LINE_AVX512
    &csv_line_avx512_kernel,
    &csv_line_avx512bw_kernel,
#endif
#ifdef CSV_LINE_AVX2
    &csv_line_avx2_kernel,
#endif
#ifdef CSV_LINE_SSE2
    &csv_line_sse2_kernel,
#endif
#ifdef CSV_LINE_NEON
    &csv_line_neon_kernel,
    &csv_line_neon_nopmull_kernel,
#endif
    &csv_line_portable_kernel,
};
const int csv_line_kernel_count = sizeof csv_line_kernels / sizeof csv_line_kernels[0];

int csv_line_kernel_runs_here(const struct csv_line_kernel *kernel)
{
    // Found once; threads that race here find the same. (Not a local
    // static: its guard would need the C++ runtime, which C callers lack.)
    static std::atomic<unsigned> found{0};
    const unsigned known = 1u << 31;
    unsigned have = found.load(std::memory_order_relaxed);
    if (have == 0) {
        have = features_here() | known;
        found.store(have, std::memory_order_relaxed);
    }
    return (kernel->needs & ~have) == 0;
}

}

extern "C" {
// The kernel in use; null until the first call chooses it.
const struct csv_line_kernel *csv_line_active_kernel = nullptr;
}

namespace {

const csv_line_kernel *best_kernel()
{
    const csv_line_kernel *const *kernel = csv_line_kernels;
    while (!csv_line_kernel_runs_here(*kernel))
        kernel++;  // the last one runs anywhere
    return *kernel;
}

const csv_line_kernel *forced_kernel(const char *name)
{
    for (int k = 0; k < csv_line_kernel_count; k++)
        if (std::strcmp(csv_line_kernels[k]->name, name) == 0)
            return csv_line_kernel_runs_here(csv_line_kernels[k]) ? csv_line_kernels[k] : nullptr;
    return nullptr;
}

}  // namespace

// The first call's choice. Threads that race here choose alike, and only
// the one whose choice stands tells of a name it could not follow.
extern "C" const struct csv_line_kernel *csv_line_kernel_choose(void)
{
    const char *name = std::getenv("CSV_LINE_KERNEL");
    const bool asked = name != nullptr && *name != '\0';
    const csv_line_kernel *forced = asked ? forced_kernel(name) : nullptr;
    const csv_line_kernel *chosen = forced != nullptr ? forced : best_kernel();
    const csv_line_kernel *earlier = nullptr;
    if (!__atomic_compare_exchange_n(&csv_line_active_kernel, &earlier, chosen, false, __ATOMIC_ACQ_REL,
                                     __ATOMIC_ACQUIRE))
        return earlier;
    if (asked && forced == nullptr)
        std::fprintf(stderr, "csv_line: CSV_LINE_KERNEL=%s names no kernel that can run here; using %s\n",
                     name, chosen->name);
    return chosen;
}
