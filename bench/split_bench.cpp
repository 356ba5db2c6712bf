// Times parse_csv_line and parse_csv_span, and each kernel this processor
// can run through both, against the rules read literally one byte at a time
// (the baseline), against what a C++ user might write instead (std::getline
// into strings), and against memcpy of the same bytes into the same table,
// which no splitter can beat. Then walks a buffer of many records, as a
// reader of a file does, with parse_csv_record and with memchr and
// parse_csv_span, through the library and each kernel.

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "bench_inputs.h"
#include "csv_line.h"
#include "kernels.h"

namespace {

using bench::baseline_split;
using bench::Input;
using bench::kRows;
alignas(64) char table[kRows][FIELD_SIZE];
alignas(64) char check_table[kRows][FIELD_SIZE];

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

// Registers contender/input, timing split(line) per iteration. Every
// contender reads the same copy of the line, at the same alignment.
template <typename Split>
void Register(const char *contender, const Input &input, Split split)
{
    const std::string name = std::string(contender) + "/" + input.name;
    benchmark::RegisterBenchmark(name.c_str(), [&line = input.line, split](benchmark::State &state) {
        for (auto _ : state) {
            benchmark::DoNotOptimize(split(line));
            benchmark::ClobberMemory();
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
    });
}

// The library's entry points, then the kernels this processor can run.
std::vector<csv_line_kernel> Splitters()
{
    std::vector<csv_line_kernel> splitters = {{"parse_csv_line", parse_csv_line, parse_csv_span, parse_csv_record, [] { return 1; }}};
    for (int k = 0; k < csv_line_kernel_count; k++)
        if (csv_line_kernels[k].runs_here())
            splitters.push_back(csv_line_kernels[k]);
    return splitters;
}

// A splitter's span entry: "parse_csv_span", or the kernel's name with "_span".
std::string SpanName(const csv_line_kernel &splitter)
{
    const std::string name = splitter.name;
    return name == "parse_csv_line" ? "parse_csv_span" : name + "_span";
}

void RegisterAll(const Input &input)
{
    for (const csv_line_kernel &splitter : Splitters()) {
        Register(splitter.name, input, [split = splitter.split](const std::string &line) {
            return split(line.c_str(), table, kRows);
        });
        Register(SpanName(splitter).c_str(), input, [span = splitter.span](const std::string &line) {
            return span(line.data(), static_cast<int>(line.size()), table, kRows);
        });
    }
    Register("baseline", input,
             [](const std::string &line) { return baseline_split(line.c_str(), table, kRows); });
    Register("getline", input, [](const std::string &line) {
        std::istringstream in(line);
        std::vector<std::string> fields;
        std::string field;
        while (std::getline(in, field, ','))
            fields.push_back(field);
        benchmark::DoNotOptimize(fields.data());
        return fields.size();
    });
    Register("memcpy", input, [spans = FieldSpans(input.line)](const std::string &line) {
        int row = 0;
        for (const Span &span : spans) {
            std::memcpy(table[row], line.data() + span.start, span.length);
            table[row++][span.length] = '\0';
        }
        return row;
    });
}

// Every splitter, through both entries, must agree with the baseline before
// any is timed.
bool SameFields(const Input &input)
{
    const int want = baseline_split(input.line.c_str(), check_table, kRows);
    for (const csv_line_kernel &splitter : Splitters())
        for (const bool span : {false, true}) {
            const int count = span ? splitter.span(input.line.data(), static_cast<int>(input.line.size()), table, kRows)
                                   : splitter.split(input.line.c_str(), table, kRows);
            bool same = count == want;
            for (int k = 0; same && k < count; k++)
                same = std::strcmp(table[k], check_table[k]) == 0;
            if (!same) {
                std::fprintf(stderr, "split_bench: %s and the baseline differ on %s\n",
                             span ? SpanName(splitter).c_str() : splitter.name, input.name.c_str());
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
int WalkRecords(csv_line_record_fn record, const std::string &buffer)
{
    const char *at = buffer.data(), *end = at + buffer.size();
    int records = 0;
    for (int length; at != end; at += length != 0 ? length : end - at, records++)
        record(at, static_cast<int>(end - at), table, kRows, &length);
    return records;
}

// The same with each line's end found by memchr first, then the line
// split where it lies.
int WalkLines(csv_line_span_fn span, const std::string &buffer)
{
    const char *at = buffer.data(), *end = at + buffer.size();
    int lines = 0;
    for (; at != end; lines++) {
        const char *lf = static_cast<const char *>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        const char *line_end = lf == nullptr ? end : lf > at && lf[-1] == '\r' ? lf - 1 : lf;
        span(at, static_cast<int>(line_end - at), table, kRows);
        at = lf == nullptr ? end : lf + 1;
    }
    return lines;
}

void RegisterWalks(const Input &input)
{
    for (const csv_line_kernel &splitter : Splitters()) {
        const std::string name = splitter.name == std::string("parse_csv_line") ? "parse_csv" : splitter.name;
        Register((name + "_record").c_str(), input,
                 [record = splitter.record](const std::string &text) { return WalkRecords(record, text); });
        Register((name + "_memchr_span").c_str(), input,
                 [span = splitter.span](const std::string &text) { return WalkLines(span, text); });
    }
}

// Both walks, through every splitter, must find as many records.
bool SameWalks(const std::string &buffer)
{
    for (const csv_line_kernel &splitter : Splitters())
        if (WalkRecords(splitter.record, buffer) != 1000 || WalkLines(splitter.span, buffer) != 1000) {
            std::fprintf(stderr, "split_bench: %s walks the buffer wrong\n", splitter.name);
            return false;
        }
    return true;
}

}  // namespace

int main(int argc, char **argv)
{
    const std::vector<Input> inputs = bench::Inputs();
    for (const Input &input : inputs) {
        if (!SameFields(input))
            return 1;
        RegisterAll(input);
    }
    const Input walk = {"walk", RecordBuffer(inputs)};
    if (!SameWalks(walk.line))
        return 1;
    RegisterWalks(walk);
    benchmark::AddCustomContext("kernel", csv_line_kernel_name());
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
