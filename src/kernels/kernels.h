/*
 * The splitter's kernels: one implementation of every entry of csv_line.h
 * for each instruction set, each storing exactly what the others store.
 * Each kernel's file exports one descriptor; the library keeps them in a
 * table, best first. Internal to the library, its tests, benchmarks and
 * fuzzer; not installed.
 */
#ifndef CSV_LINE_KERNELS_H
#define CSV_LINE_KERNELS_H

#include "csv_line.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef int (*csv_line_split_fn)(const char *line, char (*fields)[FIELD_SIZE], int max_fields);
typedef int (*csv_line_span_fn)(const char *line, int length, char (*fields)[FIELD_SIZE], int max_fields);
typedef int (*csv_line_record_fn)(const char *text, int length, char (*fields)[FIELD_SIZE], int max_fields,
                                  int *record_length);
typedef int (*csv_line_fields_fn)(const char *text, int length, char separator, csv_line_field *fields,
                                  int max_fields, int *record_length);
typedef void (*csv_line_chunk_fn)(const char *text, long long length, csv_line_chunk *summary);
typedef int (*csv_line_records_fn)(const char *text, int length, char separator, csv_line_index *index);

/* What a kernel needs of the processor and its operating system. */
enum {
    CSV_LINE_NEEDS_BLOCK_READS = 1 << 0, /* reads of whole aligned blocks (not under MemorySanitizer) */
    CSV_LINE_NEEDS_AVX2 = 1 << 1,        /* AVX2, BMI1, BMI2, POPCNT, PCLMUL, YMM state saved */
    CSV_LINE_NEEDS_AVX512BW = 1 << 2,    /* those, AVX-512 F and BW, ZMM state saved */
    CSV_LINE_NEEDS_AVX512VBMI2 = 1 << 3, /* those, AVX-512 VL and VBMI2 */
    CSV_LINE_NEEDS_PMULL = 1 << 4        /* 64-bit ARM's PMULL */
};

struct csv_line_kernel {
    const char *name;          /* as CSV_LINE_KERNEL names it */
    unsigned needs;            /* CSV_LINE_NEEDS_ bits */
    csv_line_split_fn split;   /* as parse_csv_line */
    csv_line_span_fn span;     /* as parse_csv_span */
    csv_line_record_fn record; /* as parse_csv_record */
    csv_line_fields_fn fields; /* as parse_csv_fields */
    csv_line_chunk_fn chunk;   /* as csv_line_chunk_scan */
    csv_line_records_fn records; /* as parse_csv_records */
};

/* The kernels built into the library, best first. The last one, portable,
   runs anywhere. */
extern const struct csv_line_kernel *const csv_line_kernels[];
extern const int csv_line_kernel_count;

/* 1 when this processor and its operating system have all the kernel
   needs. */
int csv_line_kernel_runs_here(const struct csv_line_kernel *kernel);

/* Each kernel's descriptor, exported by its own file. */
extern const struct csv_line_kernel csv_line_portable_kernel;
extern const struct csv_line_kernel csv_line_sse2_kernel;
extern const struct csv_line_kernel csv_line_avx2_kernel;
extern const struct csv_line_kernel csv_line_avx512bw_kernel;
extern const struct csv_line_kernel csv_line_avx512_kernel;
extern const struct csv_line_kernel csv_line_neon_kernel;
extern const struct csv_line_kernel csv_line_neon_nopmull_kernel;

/* The kernel the entries run: null until the first call chooses it, then
   set once. csv_line_kernel_choose makes that choice (or returns the one a
   racing thread made); kept out of line, so that every later call is a
   load, a test and a jump. */
extern const struct csv_line_kernel *csv_line_active_kernel;
__attribute__((cold, noinline)) const struct csv_line_kernel *csv_line_kernel_choose(void);

static inline const struct csv_line_kernel *csv_line_kernel_in_use(void)
{
    const struct csv_line_kernel *kernel = __atomic_load_n(&csv_line_active_kernel, __ATOMIC_ACQUIRE);
    return kernel != 0 ? kernel : csv_line_kernel_choose();
}

/* Where a span of `length` bytes from line ends: a length below 1 is an
   empty line. */
static inline const char *csv_line_span_end(const char *line, int length)
{
    return length > 0 ? line + length : line;
}

/* The bytes parse_csv_fields refuses as a separator. */
static inline int csv_line_separator_refused(char separator)
{
    return separator == '"' || separator == '\n' || separator == '\r';
}

#ifdef __cplusplus
}
#endif

#endif
