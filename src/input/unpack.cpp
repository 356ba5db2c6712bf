// gzip through zlib, zstd through libzstd, each only when the build found
// it: without, an input packed so is an error that says the build cannot
// read it.

#include "unpack.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#if defined(CSV_LINE_ZLIB)
#include <zlib.h>
#endif
#if defined(CSV_LINE_ZSTD)
#include <zstd.h>
#endif

namespace csv_line::input {

struct Unpacker {
    Packing packing;
    bool between;  // at a member's or frame's end (or before the first)
    long long taken;        // input bytes used before this call
    long long frame_start;  // the input's byte where the zstd frame being read began
#if defined(CSV_LINE_ZLIB)
    z_stream gzip;
    bool gzip_open;
#endif
#if defined(CSV_LINE_ZSTD)
    ZSTD_DCtx *zstd;
#endif
};

Packing packing_of(const unsigned char *bytes, size_t n)
{
    if (n >= 2 && bytes[0] == 0x1f && bytes[1] == 0x8b)
        return Packing::gzip;
    if (n >= 4 && bytes[0] == 0x28 && bytes[1] == 0xb5 && bytes[2] == 0x2f && bytes[3] == 0xfd)
        return Packing::zstd;
    return Packing::plain;
}

bool can_unpack(Packing packing)
{
    switch (packing) {
    case Packing::plain:
        return true;
    case Packing::gzip:
#if defined(CSV_LINE_ZLIB)
        return true;
#else
        return false;
#endif
    case Packing::zstd:
#if defined(CSV_LINE_ZSTD)
        return true;
#else
        return false;
#endif
    }
    return false;
}

const char *packing_name(Packing packing)
{
    return packing == Packing::gzip ? "gzip" : packing == Packing::zstd ? "zstd" : "plain";
}

Unpacker *unpacker_open(Packing packing)
{
    if (packing == Packing::plain || !can_unpack(packing))
        return nullptr;
    Unpacker *unpacker = static_cast<Unpacker *>(std::calloc(1, sizeof(Unpacker)));
    if (unpacker == nullptr)
        return nullptr;
    unpacker->packing = packing;
    unpacker->between = true;
#if defined(CSV_LINE_ZLIB)
    if (packing == Packing::gzip) {
        // 16 + the largest window: gzip members only, never raw zlib.
        if (inflateInit2(&unpacker->gzip, 16 + MAX_WBITS) != Z_OK) {
            std::free(unpacker);
            return nullptr;
        }
        unpacker->gzip_open = true;
    }
#endif
#if defined(CSV_LINE_ZSTD)
    if (packing == Packing::zstd && (unpacker->zstd = ZSTD_createDCtx()) == nullptr) {
        std::free(unpacker);
        return nullptr;
    }
#endif
    return unpacker;
}

void unpacker_close(Unpacker *unpacker)
{
    if (unpacker == nullptr)
        return;
#if defined(CSV_LINE_ZLIB)
    if (unpacker->gzip_open)
        inflateEnd(&unpacker->gzip);
#endif
#if defined(CSV_LINE_ZSTD)
    ZSTD_freeDCtx(unpacker->zstd);
#endif
    std::free(unpacker);
}

namespace {

#if defined(CSV_LINE_ZLIB)
Unpacked unpack_gzip(Unpacker &unpacker, const unsigned char *in, size_t n, bool last, char *out, size_t room,
                     size_t *used, size_t *written, char *why, size_t why_size)
{
    z_stream &stream = unpacker.gzip;
    *used = *written = 0;
    for (;;) {
        if (unpacker.between) {
            const size_t left = n - *used;
            if (left == 0)
                return last ? Unpacked::ended : Unpacked::going;
            if (left < 2 && !last)
                return Unpacked::going;
            if (packing_of(in + *used, left) != Packing::gzip) {
                std::snprintf(why, why_size, "bytes that are not gzip after the end of a gzip member at byte %lld",
                              unpacker.taken + static_cast<long long>(*used));
                return Unpacked::failed;
            }
            if (inflateReset(&stream) != Z_OK) {
                std::snprintf(why, why_size, "out of memory");
                return Unpacked::failed;
            }
            unpacker.between = false;
        }
        // zlib counts in 32 bits.
        const size_t in_left = n - *used, out_left = room - *written;
        stream.next_in = const_cast<unsigned char *>(in + *used);
        stream.avail_in = static_cast<uInt>(in_left < UINT_MAX ? in_left : UINT_MAX);
        stream.next_out = reinterpret_cast<unsigned char *>(out + *written);
        stream.avail_out = static_cast<uInt>(out_left < UINT_MAX ? out_left : UINT_MAX);
        const uInt in_before = stream.avail_in, out_before = stream.avail_out;
        const int status = inflate(&stream, Z_NO_FLUSH);
        *used += in_before - stream.avail_in;
        *written += out_before - stream.avail_out;
        if (status == Z_STREAM_END) {
            unpacker.between = true;
            continue;
        }
        if (status == Z_OK && stream.avail_out > 0 && stream.avail_in > 0)
            continue;  // a count cut at 32 bits
        if (status == Z_OK || status == Z_BUF_ERROR) {
            if (*written == room || *used < n || !last)
                return Unpacked::going;
            std::snprintf(why, why_size, "the gzip stream is cut off at byte %lld",
                          unpacker.taken + static_cast<long long>(*used));
            return Unpacked::failed;
        }
        std::snprintf(why, why_size, "the gzip stream is corrupt (%s) at byte %lld",
                      status == Z_MEM_ERROR ? "out of memory" : stream.msg != nullptr ? stream.msg : "bad data",
                      unpacker.taken + static_cast<long long>(*used));
        return Unpacked::failed;
    }
}
#endif

#if defined(CSV_LINE_ZSTD)
Unpacked unpack_zstd(Unpacker &unpacker, const unsigned char *in, size_t n, bool last, char *out, size_t room,
                     size_t *used, size_t *written, char *why, size_t why_size)
{
    ZSTD_inBuffer from = {in, n, 0};
    ZSTD_outBuffer to = {out, room, 0};
    for (;;) {
        // Between frames with no input, there is nothing to decompress:
        // asked, libzstd would wait for the next frame's header.
        if (unpacker.between && from.pos == n)
            return last ? Unpacked::ended : Unpacked::going;
        const size_t hint = ZSTD_decompressStream(unpacker.zstd, &to, &from);
        *used = from.pos;
        *written = to.pos;
        if (ZSTD_isError(hint)) {
            // Where in the frame libzstd found it depends on how the input
            // came: the frame's start does not.
            std::snprintf(why, why_size, "the zstd stream is corrupt (%s) in the frame at byte %lld",
                          ZSTD_getErrorName(hint), unpacker.frame_start);
            return Unpacked::failed;
        }
        // 0: a frame ended with all it holds written.
        unpacker.between = hint == 0;
        if (unpacker.between)
            unpacker.frame_start = unpacker.taken + static_cast<long long>(from.pos);
        if (to.pos == room)
            return Unpacked::going;
        if (from.pos < n || unpacker.between)
            continue;
        if (!last)
            return Unpacked::going;
        std::snprintf(why, why_size, "the zstd stream is cut off at byte %lld", unpacker.taken + static_cast<long long>(n));
        return Unpacked::failed;
    }
}
#endif

}  // namespace

Unpacked unpack(Unpacker *unpacker, const unsigned char *in, size_t n, bool last, char *out, size_t room,
                size_t *used, size_t *written, char *why, size_t why_size)
{
    *used = *written = 0;
    Unpacked state = Unpacked::failed;
#if defined(CSV_LINE_ZLIB)
    if (unpacker->packing == Packing::gzip)
        state = unpack_gzip(*unpacker, in, n, last, out, room, used, written, why, why_size);
#endif
#if defined(CSV_LINE_ZSTD)
    if (unpacker->packing == Packing::zstd)
        state = unpack_zstd(*unpacker, in, n, last, out, room, used, written, why, why_size);
#endif
    (void)in, (void)n, (void)last, (void)out, (void)room, (void)why, (void)why_size;
    unpacker->taken += static_cast<long long>(*used);
    return state;
}

}  // namespace csv_line::input
