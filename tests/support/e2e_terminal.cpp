#include "tests/support/e2e_terminal.h"

#include <cctype>
#include <cstdio>
#include <sstream>

namespace testsupport
{

const char *const kUpdaterBanner = "UPDATER  version: 10700000 (Aug  9 2024)\n";
const char *const kSuccessVerdict = "\x1b[1;32m\nOperation completed successfully\n\x1b[0m";
const char *const kFailureVerdict = "\x1b[1;31m\n\n=== ERRORS OCCURED! ===\n\n\x1b[0m";

namespace
{

constexpr unsigned kFullPercent = 100;
constexpr size_t kMarkerSize = 10; // "\n[ 100% ] "

bool endsWith(const std::string &text, const std::string &tail)
{
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// A line marker at pos: '\n' or '\r', then "[ %3u% ] ". Gives the percentage.
bool markerAt(const std::string &out, size_t pos, unsigned *pPercent)
{
    if (pos + kMarkerSize > out.size() || (out[pos] != '\n' && out[pos] != '\r'))
        return false;
    if (out.compare(pos + 1, 2, "[ ") != 0 || out.compare(pos + 6, 4, "% ] ") != 0)
        return false;
    unsigned value = 0;
    bool digits = false;
    for (size_t i = pos + 3; i < pos + 6; i++)
    {
        char c = out[i];
        if (c == ' ' && !digits)
            continue;
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
        digits = true;
        value = value * 10 + unsigned(c - '0');
    }
    if (!digits)
        return false;
    *pPercent = value;
    return true;
}

std::string showLines(const std::vector<std::string> &lines)
{
    std::string text;
    for (size_t i = 0; i < lines.size(); i++)
        text += "  [" + std::to_string(i) + "] " + e2eShow(lines[i]) + "\n";
    return text;
}

} // namespace

std::vector<std::string> E2eTerminal::texts() const
{
    std::vector<std::string> all;
    for (const E2eLogLine &line : lines)
        all.push_back(line.text);
    return all;
}

std::vector<unsigned> E2eTerminal::finalPercentsOf(const std::string &text) const
{
    std::vector<unsigned> percents;
    for (const E2eLogLine &line : lines)
    {
        if (line.text == text && !line.percent.empty())
            percents.push_back(line.percent.back());
    }
    return percents;
}

E2eTerminal e2eParseTerminal(const std::string &out)
{
    E2eTerminal terminal;
    std::string body = out;
    if (endsWith(body, kSuccessVerdict))
    {
        terminal.verdict = E2eVerdict::Success;
        body.resize(body.size() - std::string(kSuccessVerdict).size());
    }
    else if (endsWith(body, kFailureVerdict))
    {
        terminal.verdict = E2eVerdict::Failure;
        body.resize(body.size() - std::string(kFailureVerdict).size());
    }

    // Positions of the markers; the text of each runs up to the next one.
    std::vector<std::pair<size_t, unsigned>> markers;
    for (size_t pos = 0; pos < body.size(); pos++)
    {
        unsigned percent = 0;
        if (markerAt(body, pos, &percent))
        {
            markers.push_back({pos, percent});
            pos += kMarkerSize - 1;
        }
    }
    terminal.preamble = body.substr(0, markers.empty() ? body.size() : markers[0].first);
    for (size_t i = 0; i < markers.size(); i++)
    {
        size_t start = markers[i].first + kMarkerSize;
        size_t end = i + 1 < markers.size() ? markers[i + 1].first : body.size();
        std::string text = body.substr(start, end - start);
        bool isRewrite = body[markers[i].first] == '\r';
        if (!isRewrite || terminal.lines.empty())
        {
            // A progress report before any message starts a line with an empty text.
            terminal.lines.push_back(E2eLogLine{isRewrite ? std::string() : text, {}, {}});
            if (!isRewrite)
            {
                terminal.lines.back().percent.push_back(markers[i].second);
                continue;
            }
        }
        terminal.lines.back().percent.push_back(markers[i].second);
        terminal.lines.back().rewriteTexts.push_back(text);
    }
    return terminal;
}

std::string e2eShortRunText(const std::string &port, const std::vector<std::string> &lines, bool success)
{
    std::string text = std::string(kUpdaterBanner) + "Connected to port " + port + "\n";
    for (const std::string &line : lines)
        text += "\n[   0% ] " + line;
    return text + (success ? kSuccessVerdict : kFailureVerdict);
}

::testing::AssertionResult e2eSameLines(const std::vector<std::string> &expected,
                                        const std::vector<std::string> &actual)
{
    if (expected == actual)
        return ::testing::AssertionSuccess();
    size_t i = 0;
    while (i < expected.size() && i < actual.size() && expected[i] == actual[i])
        i++;
    return ::testing::AssertionFailure() << "the messages differ from index " << i << "\nexpected:\n"
                                         << showLines(expected) << "actual:\n"
                                         << showLines(actual);
}

::testing::AssertionResult e2eProgressRisesTo100(const E2eTerminal &terminal)
{
    if (terminal.lines.empty())
        return ::testing::AssertionFailure() << "no log line at all";
    unsigned previous = 0;
    for (size_t i = 0; i < terminal.lines.size(); i++)
    {
        const E2eLogLine &line = terminal.lines[i];
        for (unsigned percent : line.percent)
        {
            if (percent > kFullPercent || percent < previous)
                return ::testing::AssertionFailure()
                       << "line " << i << " \"" << e2eShow(line.text) << "\" shows " << percent << " % after "
                       << previous << " %";
            previous = percent;
        }
        for (const std::string &text : line.rewriteTexts)
        {
            if (text != line.text)
                return ::testing::AssertionFailure() << "line " << i << " \"" << e2eShow(line.text)
                                                     << "\" was rewritten as \"" << e2eShow(text) << "\"";
        }
    }
    const E2eLogLine &last = terminal.lines.back();
    if (last.percent.empty() || last.percent.back() != kFullPercent)
        return ::testing::AssertionFailure()
               << "the last message \"" << e2eShow(last.text) << "\" ends at "
               << (last.percent.empty() ? 0 : last.percent.back()) << " %, not 100 %";
    return ::testing::AssertionSuccess();
}

std::string e2eShow(const std::string &out)
{
    std::string text;
    for (char c : out)
    {
        switch (c)
        {
        case '\n':
            text += "\\n\n";
            break;
        case '\r':
            text += "\\r";
            break;
        case '\t':
            text += "\\t";
            break;
        case '\x1b':
            text += "\\e";
            break;
        default:
            if (std::isprint(static_cast<unsigned char>(c)))
                text += c;
            else
            {
                char hex[8];
                std::snprintf(hex, sizeof hex, "\\x%02X", static_cast<unsigned char>(c));
                text += hex;
            }
        }
    }
    return text;
}

} // namespace testsupport
