#include "sim/sim_stats.h"

#include <cstdio>
#include <cstring>

#include "protocol/commands.h"

namespace devsim
{

std::string commandName(uint8_t ubCmd)
{
    const char *szName = updaterCmdName(ubCmd);
    if (std::strcmp(szName, "UNKNOWN") != 0)
        return szName;
    char text[16];
    std::snprintf(text, sizeof(text), "CMD_0x%02X", ubCmd);
    return text;
}

std::string jsonString(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text)
    {
        if (c == '"' || c == '\\')
        {
            out += '\\';
            out += static_cast<char>(c);
        }
        else if (c < 0x20 || c >= 0x7F)
        {
            char escaped[8];
            std::snprintf(escaped, sizeof(escaped), "\\u%04X", c);
            out += escaped;
        }
        else
            out += static_cast<char>(c);
    }
    return out + "\"";
}

namespace
{

std::string jsonCounts(const std::map<std::string, uint64_t> &counts)
{
    std::string out = "{";
    bool first = true;
    for (const auto &[name, count] : counts)
    {
        out += (first ? "" : ", ") + jsonString(name) + ": " + std::to_string(count);
        first = false;
    }
    return out + "}";
}

uint64_t total(const std::map<std::string, uint64_t> &counts)
{
    uint64_t sum = 0;
    for (const auto &entry : counts)
        sum += entry.second;
    return sum;
}

} // namespace

std::string Stats::toJson() const
{
    std::string out = "{\n";
    auto field = [&out](const char *name, const std::string &value, bool last = false)
    { out += std::string("  \"") + name + "\": " + value + (last ? "\n" : ",\n"); };
    field("requests", jsonCounts(requests));
    field("requests_total", std::to_string(total(requests)));
    field("forwarded", jsonCounts(forwarded));
    field("forwarded_total", std::to_string(total(forwarded)));
    field("text_commands", jsonCounts(textCommands));
    field("text_commands_total", std::to_string(total(textCommands)));
    field("responses", std::to_string(responses));
    field("malformed_requests", std::to_string(malformedRequests));
    field("error_answers", std::to_string(errorAnswers));
    field("bytes_from_host", std::to_string(bytesFromHost));
    field("bytes_to_host", std::to_string(bytesToHost));
    field("bytes_dropped", std::to_string(bytesDropped));
    field("garbled_bytes", std::to_string(garbledBytes));
    field("port_opens", std::to_string(portOpens));
    field("port_closes", std::to_string(portCloses));
    field("duration_ms", std::to_string(durationMs));
    std::map<std::string, uint64_t> injected = {
        {"lost_responses", faults.lostResponses}, {"corrupted_responses", faults.corruptedResponses},
        {"status_answers", faults.statusAnswers}, {"at_errors", faults.atErrors},
        {"disconnects", faults.disconnects},      {"silenced_requests", faults.silencedRequests},
        {"random_lost", faults.randomLost},       {"random_corrupted", faults.randomCorrupted},
        {"late_answers", faults.lateAnswers},
    };
    field("faults", jsonCounts(injected));
    field("faults_total", std::to_string(total(injected)), true);
    return out + "}\n";
}

} // namespace devsim
