// Times reading a compressed file against decompressing it alone: the
// decompressor on one thread (zlib's inflate, libdeflate's whole-buffer
// decompression where the build found it, libzstd's stream), the reader
// of the compressed bytes on one and two threads (every record counted),
// and the reader of the same text held plain in memory. The file is read
// into memory first, so that no figure waits on a disk. Each figure is the
// fastest of RUNS; the reader must count the same records each way.
// Usage: unpack_bench FILE.gz|FILE.zst [RUNS]

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#if defined(CSV_LINE_BENCH_ZLIB)
#include <zlib.h>
#endif
#if defined(CSV_LINE_BENCH_LIBDEFLATE)
#include <libdeflate.h>
#endif
#if defined(CSV_LINE_BENCH_ZSTD)
#include <zstd.h>
#endif

#include "csv_line.h"

namespace {

template <class Work>
double best_of(int runs, Work work)
{
    double best = 1e9;
    for (int run = 0; run < runs; run++) {
        const auto start = std::chrono::steady_clock::now();
        work();
        const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        best = seconds < best ? seconds : best;
    }
    return best;
}

constexpr size_t OUT = 1 << 20;

// The text, decompressed a window of OUT bytes at a time as a stream is;
// the last window kept whole in `text` when asked.
#if defined(CSV_LINE_BENCH_ZLIB)
size_t inflate_all(const std::string &packed, std::string *text)
{
    z_stream stream = {};
    inflateInit2(&stream, 16 + MAX_WBITS);
    std::string out(OUT, '\0');
    size_t total = 0;
    stream.next_in = reinterpret_cast<Bytef *>(const_cast<char *>(packed.data()));
    stream.avail_in = static_cast<uInt>(packed.size());
    for (int status = Z_OK; status != Z_STREAM_END || stream.avail_in > 0;) {
        if (status == Z_STREAM_END)
            inflateReset(&stream);
        stream.next_out = reinterpret_cast<Bytef *>(&out[0]);
        stream.avail_out = OUT;
        status = inflate(&stream, Z_NO_FLUSH);
        if (status != Z_OK && status != Z_STREAM_END)
            break;
        total += OUT - stream.avail_out;
        if (text != nullptr)
            text->append(out.data(), OUT - stream.avail_out);
    }
    inflateEnd(&stream);
    return total;
}
#endif

#if defined(CSV_LINE_BENCH_ZSTD)
size_t unzstd_all(const std::string &packed, std::string *text)
{
    ZSTD_DCtx *context = ZSTD_createDCtx();
    std::string out(OUT, '\0');
    ZSTD_inBuffer from = {packed.data(), packed.size(), 0};
    size_t total = 0;
    while (from.pos < from.size) {
        ZSTD_outBuffer to = {&out[0], OUT, 0};
        if (ZSTD_isError(ZSTD_decompressStream(context, &to, &from)))
            break;
        total += to.pos;
        if (text != nullptr)
            text->append(out.data(), to.pos);
    }
    ZSTD_freeDCtx(context);
    return total;
}
#endif

long long count_records(const char *bytes, size_t size, int threads)
{
    csv_line_reader_options options = {',', 0, 0, threads, 0, 0, 0, 0, CSV_LINE_UTF8_RAW, 0};
    csv_line_reader *reader = csv_line_reader_open_memory(bytes, size, &options);
    long long records = 0;
    csv_line_batch batch;
    for (int n; (n = csv_line_reader_next(reader, &batch)) > 0;)
        records += n;
    if (csv_line_reader_error(reader)->code != CSV_LINE_OK)
        std::fprintf(stderr, "unpack_bench: %s\n", csv_line_reader_error(reader)->message);
    csv_line_reader_close(reader);
    return records;
}

}  // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: unpack_bench FILE.gz|FILE.zst [RUNS]\n");
        return 2;
    }
    const int runs = argc > 2 ? std::atoi(argv[2]) : 5;
    std::ifstream in(argv[1], std::ios::binary);
    std::stringstream whole;
    whole << in.rdbuf();
    const std::string packed = whole.str();
    const bool gzip = packed.size() >= 2 && packed[0] == '\x1f' && packed[1] == '\x8b';
    std::string text;
    double alone = 0;
    if (gzip) {
#if defined(CSV_LINE_BENCH_ZLIB)
        inflate_all(packed, &text);
        alone = best_of(runs, [&] { inflate_all(packed, nullptr); });
        std::printf("zlib inflate, one thread        %7.3f s\n", alone);
#endif
#if defined(CSV_LINE_BENCH_LIBDEFLATE)
        // One member, its size known: libdeflate decompresses whole buffers only.
        libdeflate_decompressor *d = libdeflate_alloc_decompressor();
        std::string out(text.size(), '\0');
        const double whole_buffer = best_of(runs, [&] {
            size_t made = 0;
            libdeflate_gzip_decompress(d, packed.data(), packed.size(), &out[0], out.size(), &made);
        });
        libdeflate_free_decompressor(d);
        std::printf("libdeflate, whole buffer        %7.3f s (%s the text)\n", whole_buffer,
                    out == text ? "equal to" : "NOT equal to");
#endif
    } else {
#if defined(CSV_LINE_BENCH_ZSTD)
        unzstd_all(packed, &text);
        alone = best_of(runs, [&] { unzstd_all(packed, nullptr); });
        std::printf("libzstd stream, one thread      %7.3f s\n", alone);
#endif
    }
    if (text.empty()) {
        std::fprintf(stderr, "unpack_bench: this build cannot decompress %s\n", argv[1]);
        return 1;
    }
    const long long records = count_records(text.data(), text.size(), 1);
    double plain[3], read[3];
    for (int threads = 1; threads <= 2; threads++) {
        plain[threads] = best_of(runs, [&] { count_records(text.data(), text.size(), threads); });
        read[threads] = best_of(runs, [&] {
            if (count_records(packed.data(), packed.size(), threads) != records)
                std::fprintf(stderr, "unpack_bench: the reader counted other records\n"), std::exit(1);
        });
        std::printf("reader of the plain text, %d thr %7.3f s\n", threads, plain[threads]);
        std::printf("reader of the packed bytes, %d t %7.3f s  (%.2f x the larger of the two above)\n", threads,
                    read[threads], read[threads] / (alone > plain[threads] ? alone : plain[threads]));
    }
    std::printf("%lld records, %zu bytes of text, %zu packed\n", records, text.size(), packed.size());
    return 0;
}
