// How a fuzz target says a broken rule: on standard error, with the
// input's size, then abort, so that the fuzzer keeps the input.
#ifndef CSV_LINE_FUZZ_RULES_H
#define CSV_LINE_FUZZ_RULES_H

#include <cstdio>
#include <cstdlib>
#include <string>

// What the target checks ("the reader", "the table"), named in its messages.
extern const char *const fuzzed;

[[noreturn]] inline void Broken(const char *rule, const std::string &text)
{
    std::fprintf(stderr, "%s broke a rule on %zu bytes: %s\n", fuzzed, text.size(), rule);
    std::abort();
}

inline void Check(bool holds, const char *rule, const std::string &text)
{
    if (!holds)
        Broken(rule, text);
}

#endif
