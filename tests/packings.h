// Texts stored as readers meet them: compressed with gzip or zstd (in
// one member or frame, or several), or in UTF-16 after its byte-order
// mark. Shared by the reader's and the table's tests and the input's
// fuzz target; each packing is made with the library the reader reads it
// with, where the build has it. A library that fails to pack aborts.
#ifndef CSV_LINE_TEST_PACKINGS_H
#define CSV_LINE_TEST_PACKINGS_H

#include <cstdlib>
#include <string>
#include <vector>

#if defined(CSV_LINE_TEST_ZLIB)
#include <zlib.h>
#endif
#if defined(CSV_LINE_TEST_ZSTD)
#include <zstd.h>
#endif

// How a text is stored: as it is, compressed (in one member or frame, or
// cut into several), or in UTF-16 after its byte-order mark.
enum class Packing { plain, gzip, gzip_members, zstd, zstd_frames, utf16le, utf16be };
inline const char *const packing_names[] = {"plain", "gzip", "gzip members", "zstd", "zstd frames", "UTF-16LE", "UTF-16BE"};

#if defined(CSV_LINE_TEST_ZLIB)
inline std::string Gzip(const std::string &text, int level = 6)
{
    z_stream stream = {};
    if (deflateInit2(&stream, level, Z_DEFLATED, 16 + MAX_WBITS, 8, Z_DEFAULT_STRATEGY) != Z_OK)
        std::abort();
    std::string out(deflateBound(&stream, static_cast<uLong>(text.size())), '\0');
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(text.data()));
    stream.avail_in = static_cast<uInt>(text.size());
    stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
    stream.avail_out = static_cast<uInt>(out.size());
    if (deflate(&stream, Z_FINISH) != Z_STREAM_END)
        std::abort();
    out.resize(stream.total_out);
    deflateEnd(&stream);
    return out;
}
#endif

#if defined(CSV_LINE_TEST_ZSTD)
inline std::string Zstd(const std::string &text)
{
    std::string out(ZSTD_compressBound(text.size()), '\0');
    const size_t size = ZSTD_compress(&out[0], out.size(), text.data(), text.size(), 3);
    if (ZSTD_isError(size))
        std::abort();
    out.resize(size);
    return out;
}
#endif

// UTF-8 to UTF-16 after its mark, written plainly: the text must be UTF-8.
inline std::string Utf16(const std::string &text, bool big_endian)
{
    std::string out;
    const auto unit = [&](unsigned u) {
        const char high = static_cast<char>(u >> 8), low = static_cast<char>(u & 0xff);
        out += big_endian ? std::string{high, low} : std::string{low, high};
    };
    unit(0xFEFF);
    for (size_t k = 0; k < text.size();) {
        const unsigned char lead = static_cast<unsigned char>(text[k]);
        const int length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
        unsigned code = length == 1 ? lead : lead & (0x3F >> (length - 1));
        for (int m = 1; m < length; m++)
            code = code << 6 | (static_cast<unsigned char>(text[k + static_cast<size_t>(m)]) & 0x3F);
        k += static_cast<size_t>(length);
        if (code >= 0x10000) {
            unit(0xD800 + ((code - 0x10000) >> 10));
            unit(0xDC00 + ((code - 0x10000) & 0x3FF));
        } else {
            unit(code);
        }
    }
    return out;
}

// The packings this build reads, and the text stored so: the text a plain
// reading of which gives the same records.
inline const std::vector<Packing> &Packings()
{
    static const std::vector<Packing> packings = {
        Packing::plain,
#if defined(CSV_LINE_TEST_ZLIB)
        Packing::gzip, Packing::gzip_members,
#endif
#if defined(CSV_LINE_TEST_ZSTD)
        Packing::zstd, Packing::zstd_frames,
#endif
        Packing::utf16le, Packing::utf16be};
    return packings;
}

inline std::string Pack(const std::string &text, Packing packing)
{
    const std::string head = text.substr(0, text.size() / 3), tail = text.substr(text.size() / 3);
    switch (packing) {
#if defined(CSV_LINE_TEST_ZLIB)
    case Packing::gzip:
        return Gzip(text);
    case Packing::gzip_members:
        return Gzip(head) + Gzip(tail, 1);
#endif
#if defined(CSV_LINE_TEST_ZSTD)
    case Packing::zstd:
        return Zstd(text);
    case Packing::zstd_frames:
        return Zstd(head) + Zstd(tail);
#endif
    case Packing::utf16le:
        return Utf16(text, false);
    case Packing::utf16be:
        return Utf16(text, true);
    default:
        return text;
    }
}

// What reading the packed text reads as: UTF-16 turns its mark into
// UTF-8's, which counts in the offsets and is dropped.
inline std::string Unpacked(const std::string &text, Packing packing)
{
    return packing == Packing::utf16le || packing == Packing::utf16be ? "\xef\xbb\xbf" + text : text;
}

#endif
