#include "tests/support/fake_link.h"

#include <cstdio>
#include <sstream>

namespace testsupport
{
namespace
{

FakeLink *linkOf(_tSerial *pSerial)
{
    return static_cast<FakeLink *>(pSerial->pUser);
}
FakeLink *linkOf(void *pUser)
{
    return static_cast<FakeLink *>(pUser);
}

uint8_t chanRead(_tSerial *s, uint8_t *b)
{
    return linkOf(s)->readByte(b);
}
void chanWrite(_tSerial *s, uint8_t b)
{
    linkOf(s)->writeByte(b);
}
uint64_t chanGetMs(_tSerial *s)
{
    return linkOf(s)->getMs();
}
void chanBaud(_tSerial *s, uint32_t baud)
{
    linkOf(s)->bauds.push_back(baud);
}

void cbReopen(void *u)
{
    linkOf(u)->reopens++;
}
void cbClose(void *u)
{
    linkOf(u)->closes++;
}
void cbWrite(uint8_t b, void *u)
{
    linkOf(u)->writeByte(b);
}
uint8_t cbRead(uint8_t *b, void *u)
{
    return linkOf(u)->readByte(b);
}
void cbBaud(uint32_t baud, void *u)
{
    linkOf(u)->bauds.push_back(baud);
}
uint64_t cbGetMs(void *u)
{
    return linkOf(u)->getMs();
}
void cbLog(const char *msg, void *u)
{
    linkOf(u)->logs.emplace_back(msg);
}
void cbProgress(uint8_t p, void *u)
{
    linkOf(u)->progress.push_back(p);
}

} // namespace

_tSerial FakeLink::channel()
{
    _tSerial s{};
    s.fnReadByte = chanRead;
    s.fnWriteByte = chanWrite;
    s.fnGetMs = chanGetMs;
    s.fnChangeBaud = chanBaud;
    s.pUser = this;
    return s;
}

_tUpdaterCallbacks FakeLink::callbacks()
{
    _tUpdaterCallbacks c{};
    c.cbReopen = cbReopen;
    c.cbClose = cbClose;
    c.cbWrite = cbWrite;
    c.cbRead = cbRead;
    c.cbChangeBaud = cbBaud;
    c.cbGetMs = cbGetMs;
    c.cbLog = cbLog;
    c.cbProgress = cbProgress;
    c.pUser = this;
    return c;
}

uint8_t FakeLink::readByte(uint8_t *pByte)
{
    readAttempts++;
    if (rx.empty() && onIdleRead)
        onIdleRead(*this);
    if (rx.empty())
    {
        nowMs += readWaitMs;
        return 0;
    }
    *pByte = rx.front();
    rx.pop_front();
    return 1;
}

void FakeLink::writeByte(uint8_t ubByte)
{
    tx.push_back(ubByte);
    if (onWrite)
        onWrite(*this, ubByte);
}

uint64_t FakeLink::getMs()
{
    uint64_t now = nowMs;
    nowMs += clockStepMs;
    return now;
}

std::string hex(const uint8_t *p, size_t n)
{
    std::string out;
    char buf[4];
    for (size_t i = 0; i < n; i++)
    {
        snprintf(buf, sizeof buf, i ? " %02X" : "%02X", p[i]);
        out += buf;
    }
    return out;
}

std::string hex(const std::vector<uint8_t> &v)
{
    return hex(v.data(), v.size());
}

std::vector<uint8_t> unhex(const std::string &text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string tok;
    while (in >> tok)
        out.push_back(static_cast<uint8_t>(std::stoul(tok, nullptr, 16)));
    return out;
}

} // namespace testsupport
