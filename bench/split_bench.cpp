// Times parse_csv_line, parse_csv_span and parse_csv_fields, and each
// kernel this processor can run through all three, against the rules read literally one byte at a time
// (the baseline), against what a C++ user might write instead (std::getline
// into strings), and against memcpy of the same bytes into the same table,
// which no splitter can beat. Then walks a buffer of many records, as a
// reader of a file does, with parse_csv_record and with memchr and
// parse_csv_span, through the library and each kernel.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <deque>
#include <sstream>
#include <string>
#include <vector>

#include "bench_inputs.h"
#include "csv_line.h"
#include "kernels/kernels.h"

namespace {

using bench::baseline_split;
using bench::Input;
using bench::kRows;
using bench::Placed;
alignas(64) char table[kRows][FIELD_SIZE];
alignas(64) char check_table[kRows][FIELD_SIZE];
csv_line_field positions[kRows];

// Each field's span in the raw line (quotes and all), cut to fit its row.
struct Span {
    size_t start, length;
};

std::vector<Span> FieldSpans(const std::string &line)
{
    std::vector<Span> spans;
    size_t start = 0;
    bool quoted = false;
    for (size_t i = 0; i <= line.size(); i++) {
        if (i < line.size() && line[i] == '"')
            quoted = !quoted;
        if (i == line.size() || (line[i] == ',' && !quoted)) {
            spans.push_back({start, std::min<size_t>(i - start, FIELD_SIZE - 1)});
            start = i + 1;
        }
    }
    return spans;
}

// Registers contender/input, timing split(text) per iteration, with text
// the line's copy at each place in turn. Every contender reads the same
// copies.
template <typename Split>
void Register(const char *contender, const Input &input, const Placed &line, Split split)
{
    const std::string name = std::string(contender) + "/" + input.name;
    benchmark::RegisterBenchmark(name.c_str(), [&line, split](benchmark::State &state) {
        int place = 0;
        for (auto _ : state) {
            benchmark::DoNotOptimize(split(line.c_str(place)));
            place = place + 1 < Placed::kPlaces ? place + 1 : 0;
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
    });
}

// The library's entry points, then the kernels this processor can run.
std::vector<csv_line_kernel> Splitters()
{
    std::vector<csv_line_kernel> splitters = {
        {"parse_csv_line", 0, parse_csv_line, parse_csv_span, parse_csv_record, parse_csv_fields}};
    for (int k = 0; k < csv_line_kernel_count; k++)
        if (csv_line_kernel_runs_here(csv_line_kernels[k]))
            splitters.push_back(*csv_line_kernels[k]);
    return splitters;
}

// A splitter's span entry: "parse_csv_span", or the kernel's name with "_span".
std::string SpanName(const csv_line_kernel &splitter)
{
    const std::string name = splitter.name;
    return name == "parse_csv_line" ? "parse_csv_span" : name + "_span";
}

// A splitter's position entry: "parse_csv_fields", or the kernel's name
// with "_fields".
std::string FieldsName(const csv_line_kernel &splitter)
{
    const std::string name = splitter.name;
    return name == "parse_csv_line" ? "parse_csv_fields" : name + "_fields";
}

void RegisterAll(const Input &input, const Placed &line)
{
    for (const csv_line_kernel &splitter : Splitters()) {
        Register(splitter.name, input, line, [split = splitter.split](const char *text) {
            return split(text, table, kRows);
        });
        Register(SpanName(splitter).c_str(), input, line,
                 [span = splitter.span, size = static_cast<int>(line.size())](const char *text) {
                     return span(text, size, table, kRows);
                 });
        Register(FieldsName(splitter).c_str(), input, line,
                 [fields = splitter.fields, size = static_cast<int>(line.size())](const char *text) {
                     return fields(text, size, ',', positions, kRows, nullptr);
                 });
    }
    Register("baseline", input, line, [](const char *text) { return baseline_split(text, table, kRows); });
    Register("getline", input, line, [&whole = input.line](const char *) {
        std::istringstream in(whole);
        std::vector<std::string> fields;
        std::string field;
        while (std::getline(in, field, ','))
            fields.push_back(field);
        benchmark::DoNotOptimize(fields.data());
        return fields.size();
    });
    Register("memcpy", input, line, [spans = FieldSpans(input.line)](const char *text) {
        int row = 0;
        for (const Span &span : spans) {
            std::memcpy(table[row], text + span.start, span.length);
            table[row++][span.length] = '\0';
        }
        return row;
    });
}

// Every splitter, through both entries, must agree with the baseline, from
// every place, before any is timed.
bool SameFields(const Input &input, const Placed &line)
{
    const int want = baseline_split(input.line.c_str(), check_table, kRows);
    for (const csv_line_kernel &splitter : Splitters())
        for (int place = 0; place < Placed::kPlaces; place++)
            for (const bool span : {false, true}) {
                const char *text = line.c_str(place);
                const int count = span ? splitter.span(text, static_cast<int>(line.size()), table, kRows)
                                       : splitter.split(text, table, kRows);
                bool same = count == want;
                for (int k = 0; same && k < count; k++)
                    same = std::strcmp(table[k], check_table[k]) == 0;
                if (!same) {
                    std::fprintf(stderr, "split_bench: %s and the baseline differ on %s, %d bytes into a block\n",
                                 span ? SpanName(splitter).c_str() : splitter.name, input.name.c_str(),
                                 Placed::kOffsets[place]);
                    return false;
                }
            }
    // The position entry: each field's content is the baseline's.
    static char content[FIELD_SIZE];
    for (const csv_line_kernel &splitter : Splitters())
        for (int place = 0; place < Placed::kPlaces; place++) {
            const char *text = line.c_str(place);
            const int count = splitter.fields(text, static_cast<int>(line.size()), ',', positions, kRows, nullptr);
            bool same = count == want;
            for (int k = 0; same && k < count; k++) {
                csv_line_field_content(text, &positions[k], content, FIELD_SIZE);
                same = std::strcmp(content, check_table[k]) == 0;
            }
            if (!same) {
                std::fprintf(stderr, "split_bench: %s and the baseline differ on %s, %d bytes into a block\n",
                             FieldsName(splitter).c_str(), input.name.c_str(), Placed::kOffsets[place]);
                return false;
            }
        }
    return true;
}

// Lines as a file holds them, each ended by LF: the product record and
// numeric lines by turns, about 100 KB, which the walks below go through.
std::string RecordBuffer(const std::vector<Input> &inputs)
{
    std::string buffer;
    for (int k = 0; k < 1000; k++)
        buffer += inputs[static_cast<size_t>(k % 2)].line + "\n";
    return buffer;
}

// Splits every record of the buffer; returns how many.
int WalkRecords(csv_line_record_fn record, const char *at, size_t size)
{
    const char *end = at + size;
    int records = 0;
    for (int length; at != end; at += length != 0 ? length : end - at, records++)
        record(at, static_cast<int>(end - at), table, kRows, &length);
    return records;
}

// The same with each line's end found by memchr first, then the line
// split where it lies.
int WalkLines(csv_line_span_fn span, const char *at, size_t size)
{
    const char *end = at + size;
    int lines = 0;
    for (; at != end; lines++) {
        const char *lf = static_cast<const char *>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char *line_end = lf == nullptr ? end : lf > at && lf[-1] == '\r' ? lf - 1 : lf;
        span(at, static_cast<int>(line_end - at), table, kRows);
        at = lf == nullptr ? end : lf + 1;
    }
    return lines;
}

void RegisterWalks(const Input &input, const Placed &buffer)
{
    for (const csv_line_kernel &splitter : Splitters()) {
        const std::string name = splitter.name == std::string("parse_csv_line") ? "parse_csv" : splitter.name;
        Register((name + "_record").c_str(), input, buffer,
                 [record = splitter.record, size = buffer.size()](const char *text) {
                     return WalkRecords(record, text, size);
                 });
        Register((name + "_memchr_span").c_str(), input, buffer,
                 [span = splitter.span, size = buffer.size()](const char *text) { return WalkLines(span, text, size); });
    }
}

// Both walks, through every splitter, must find as many records.
bool SameWalks(const Placed &buffer)
{
    for (const csv_line_kernel &splitter : Splitters())
        if (WalkRecords(splitter.record, buffer.c_str(0), buffer.size()) != 1000 ||
            WalkLines(splitter.span, buffer.c_str(0), buffer.size()) != 1000) {
            std::fprintf(stderr, "split_bench: %s walks the buffer wrong\n", splitter.name);
            return false;
        }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<Input> inputs = bench::Inputs();
    std::deque<Placed> placed;  // (a deque, so that each stays where it is as more come)
    for (const Input &input : inputs) {
        const Placed &line = placed.emplace_back(input.line);
        if (!SameFields(input, line))
            return 1;
        RegisterAll(input, line);
    }
    const Input walk = {"walk", RecordBuffer(inputs)};
    const Placed &buffer = placed.emplace_back(walk.line, 1);
    if (!SameWalks(buffer))
        return 1;
    RegisterWalks(walk, buffer);
    benchmark::AddCustomContext("kernel", csv_line_kernel_name());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
