// The stage between a reader's source and its buffer: a compressed input
// decompressed, and text in another encoding (or UTF-8 with bad bytes to
// replace) turned into UTF-8, on a thread of its own that reads ahead, or
// on the caller's when the source must be read there. Internal to the
// library.
#ifndef CSV_LINE_INPUT_STAGE_H
#define CSV_LINE_INPUT_STAGE_H

#include <cstddef>

#include "csv_line.h"

namespace csv_line::input {

// How an input's bytes are packed, by their magic bytes.
enum class Packing { plain, gzip, zstd };

Packing packing_of(const unsigned char *bytes, size_t n);

// Whether this build reads a packing; and its name, for messages.
bool can_unpack(Packing packing);
const char *packing_name(Packing packing);

// The encoding a stage turns into UTF-8 for `encoding` (a
// csv_line_encoding) when the text begins with the n bytes at `first`:
// AUTO becomes UTF16LE or UTF16BE after their byte-order mark, else UTF8.
int encoding_of(int encoding, const unsigned char *first, size_t n);

// Whether text of that encoding goes through the stage: anything but
// UTF-8, or UTF-8 whose bad bytes are replaced.
bool transcodes(int encoding, int invalid_utf8);

// What the stage reads: `prefix`, bytes already read from the source, then
// either the `memory_size` bytes at `memory` (with no prefix) or what
// `read` gives, as csv_line_read_fn does (-1 with errno on an error).
struct Raw {
    const unsigned char *prefix;
    size_t prefix_size;
    bool prefix_ended;  // the source gave its last byte in the prefix
    const unsigned char *memory;
    size_t memory_size;
    long long (*read)(void *context, char *out, size_t n);
    void *context;
};

struct Stage;

// A stage over `raw`, unpacked by `packing` and turned into UTF-8 from
// `encoding` (AUTO decided on the unpacked text's first bytes) with the
// policy `invalid_utf8`. With `own_thread` it reads ahead on a thread of
// its own, which alone calls raw.read; else raw.read is called from
// stage_read. `name` is the input's, for messages. Null when memory could
// not be had.
Stage *stage_open(const Raw &raw, Packing packing, int encoding, int invalid_utf8, bool own_thread, const char *name);

// Writes at most n bytes of text at out: returns how many, 0 at the text's
// end, or -1 after an error, which stage_error says; an error comes only
// after every byte of text before it was given. From any thread, one call
// at a time.
long long stage_read(Stage *stage, char *out, size_t n);

// The stage's error: CSV_LINE_ERROR_IO (with errno), CSV_LINE_ERROR_COMPRESSED
// or CSV_LINE_ERROR_MEMORY, its message naming the input and, for a
// compressed one, the byte of it where the stream went wrong.
const csv_line_error &stage_error(const Stage *stage);

// The encoding the text was found in, once a byte was read.
int stage_encoding(const Stage *stage);

// Stops its thread and lets go of all it holds; null is fine.
void stage_close(Stage *stage);

}  // namespace csv_line::input

#endif
