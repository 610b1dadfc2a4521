#include "sim/sim_log.h"

#include <cstdarg>
#include <cstdio>

namespace devsim
{

constexpr double kMsPerSecond = 1000.0;

std::string format(const char *szFormat, ...)
{
    va_list ap;
    va_start(ap, szFormat);
    va_list apCopy;
    va_copy(apCopy, ap);
    int length = std::vsnprintf(nullptr, 0, szFormat, apCopy);
    va_end(apCopy);
    std::string text(length > 0 ? static_cast<size_t>(length) : 0, '\0');
    if (length > 0)
        std::vsnprintf(text.data(), text.size() + 1, szFormat, ap);
    va_end(ap);
    return text;
}

void Logger::emit(Kind kind, const std::string &line)
{
    if (m_sink)
    {
        m_sink(kind, line);
        return;
    }
    FILE *out = kind == Kind::Note ? stdout : stderr;
    std::fprintf(out, "devsim: %s\n", line.c_str());
    std::fflush(out);
}

void Logger::note(const std::string &text)
{
    emit(Kind::Note, text);
}

void Logger::error(const std::string &text)
{
    emit(Kind::Error, "error: " + text);
}

void Logger::trace(uint64_t ullNowMs, const std::string &text)
{
    if (!m_isVerbose)
        return;
    double seconds = static_cast<double>(ullNowMs - m_originMs) / kMsPerSecond;
    emit(Kind::Trace, format("[%9.3f] %s", seconds, text.c_str()));
}

} // namespace devsim
