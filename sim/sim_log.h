#ifndef SIM_SIM_LOG_H
#define SIM_SIM_LOG_H

// Messages of the emulator: notes for the user on standard output, errors and the
// verbose trace of every command received on standard error. Tests may redirect
// everything to a sink of their own.

#include <cstdint>
#include <functional>
#include <string>

namespace devsim
{

class Logger
{
  public:
    enum class Kind
    {
        Note,
        Error,
        Trace,
    };
    using Sink = std::function<void(Kind, const std::string &)>;

    explicit Logger(bool isVerbose = false) : m_isVerbose(isVerbose) {}

    void setSink(Sink sink) { m_sink = std::move(sink); }
    void setOrigin(uint64_t ullMs) { m_originMs = ullMs; }
    bool isVerbose() const { return m_isVerbose; }

    void note(const std::string &text);
    void error(const std::string &text);
    // Only with -v; prefixed with the session time in seconds.
    void trace(uint64_t ullNowMs, const std::string &text);

  private:
    void emit(Kind kind, const std::string &line);

    bool m_isVerbose;
    uint64_t m_originMs = 0;
    Sink m_sink;
};

// printf-style formatting into a std::string.
std::string format(const char *szFormat, ...) __attribute__((format(printf, 1, 2)));

} // namespace devsim

#endif
