// store_content and store_field for kernels without a byte-compress
// instruction: each run of kept bytes is copied straight from the line.
// Included by a kernel file after copy_bytes.h, inside its namespace.

static inline int store_content(char *out, const char *at, block_t, std::uint64_t keep, int room)
{
    int stored = 0;
    while (keep != 0 && stored < room) {
        const int start = __builtin_ctzll(keep);
        // keep has no bit at or above BLOCK < 64, so the run ends in a zero.
        int run = __builtin_ctzll(~(keep >> start));
        if (run > room - stored)
            run = room - stored;
        copy_bytes(out + stored, at + start, run);
        stored += run;
        keep &= keep + (keep & (0 - keep));  // drops the run just copied
    }
    return stored;
}

static inline int store_field(char *out, const char *at, block_t bytes, std::uint64_t keep, int room)
{
    const int stored = store_content(out, at, bytes, keep, room);
    out[stored] = '\0';
    return stored;
}
