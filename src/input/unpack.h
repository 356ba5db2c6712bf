// Decompressors for the stage: gzip (members one after another, as
// concatenated files make them) and zstd (frames one after another).
// Internal to the library.
#ifndef CSV_LINE_INPUT_UNPACK_H
#define CSV_LINE_INPUT_UNPACK_H

#include <cstddef>

#include "stage.h"

namespace csv_line::input {

struct Unpacker;

// Null when memory could not be had, or the build cannot unpack it.
Unpacker *unpacker_open(Packing packing);
void unpacker_close(Unpacker *unpacker);

enum class Unpacked {
    going,   // more to come
    ended,   // the input ended where a member or frame did
    failed   // corrupt, cut off, or out of memory: `why` says which
};

// Unpacks from the n bytes at `in` into the `room` bytes at `out`:
// *used bytes read, *written written. `last` says no input follows these
// bytes. A call that neither reads nor writes returns going only when out
// has no room. On failure, `why` (why_size bytes) says what went wrong,
// and at which byte of the input.
Unpacked unpack(Unpacker *unpacker, const unsigned char *in, size_t n, bool last, char *out, size_t room,
                size_t *used, size_t *written, char *why, size_t why_size);

}  // namespace csv_line::input

#endif
