#ifndef TESTS_SUPPORT_E2E_TERMINAL_H
#define TESTS_SUPPORT_E2E_TERMINAL_H

// What the updater prints on its terminal, taken apart for end-to-end tests.
//
// A run prints the banner and the port line, then one terminal line per log
// message ("\n[ %3hhu%% ] text"), rewritten in place by progress reports
// ("\r[ %3hhu%% ] text" with the last message), and ends with a coloured verdict.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace testsupport
{

extern const char *const kUpdaterBanner;  // "UPDATER  version: 10700000 (Aug  9 2024)\n"
extern const char *const kSuccessVerdict; // green "Operation completed successfully"
extern const char *const kFailureVerdict; // red "=== ERRORS OCCURED! ==="

enum class E2eVerdict
{
    None,
    Success,
    Failure
};

struct E2eLogLine
{
    std::string text;                      // the message as the engine logged it
    std::vector<unsigned> percent;         // the percentage it was printed with, then that of each rewrite
    std::vector<std::string> rewriteTexts; // the text each rewrite carried (the message again)
};

struct E2eTerminal
{
    std::string preamble; // everything before the first log line
    std::vector<E2eLogLine> lines;
    E2eVerdict verdict = E2eVerdict::None;

    std::vector<std::string> texts() const; // the messages in order
    // For each message equal to text, in order, the percentage its terminal line
    // showed last (after its rewrites).
    std::vector<unsigned> finalPercentsOf(const std::string &text) const;
};

// Splits a run's standard output. Output that does not follow the layout (a stray
// byte before the banner, a rewrite with another text) is kept so that the checks
// below report it.
E2eTerminal e2eParseTerminal(const std::string &out);

// The whole standard output of a run against port whose log lines are all
// printed at 0 % (a run without components).
std::string e2eShortRunText(const std::string &port, const std::vector<std::string> &lines, bool success);

// The expected sequence of messages, or the first difference with both sequences.
::testing::AssertionResult e2eSameLines(const std::vector<std::string> &expected,
                                        const std::vector<std::string> &actual);

// Every percentage shown is at most 100 and none is below an earlier one; each
// rewrite repeats its line's message; the last message shows 100.
::testing::AssertionResult e2eProgressRisesTo100(const E2eTerminal &terminal);

// Readable form of terminal text: control bytes escaped, one terminal line a line.
std::string e2eShow(const std::string &out);

} // namespace testsupport

#endif
