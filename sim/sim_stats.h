#ifndef SIM_SIM_STATS_H
#define SIM_SIM_STATS_H

// Counters of one emulator session and their JSON summary.

#include <cstdint>
#include <map>
#include <string>

namespace devsim
{

struct FaultCounters
{
    uint64_t lostResponses = 0;      // --lose-response
    uint64_t corruptedResponses = 0; // --corrupt-response
    uint64_t statusAnswers = 0;      // --status
    uint64_t lateAnswers = 0;        // --late-response
    uint64_t atErrors = 0;           // --at-error
    uint64_t disconnects = 0;        // --disconnect-at-part
    uint64_t silencedRequests = 0;   // --silent-after: requests left unanswered
    uint64_t randomLost = 0;         // --random-faults
    uint64_t randomCorrupted = 0;    // --random-faults
};

struct Stats
{
    std::map<std::string, uint64_t> requests;     // request packets on the link, by command name
    std::map<std::string, uint64_t> forwarded;    // requests carried inside FORWARD, by command name
    std::map<std::string, uint64_t> textCommands; // text commands, by their text
    uint64_t responses = 0;                       // response packets produced (before faults)
    uint64_t malformedRequests = 0;               // answered with status 1 or 3
    uint64_t errorAnswers = 0;                    // answered with another non-zero status
    uint64_t bytesFromHost = 0;
    uint64_t bytesToHost = 0;
    uint64_t bytesDropped = 0; // output not sent because nobody had the port open
    uint64_t garbledBytes = 0; // bytes at a rate the device was not listening at (both directions)
    uint64_t portOpens = 0;
    uint64_t portCloses = 0;
    uint64_t durationMs = 0;
    FaultCounters faults;

    std::string toJson() const;
};

// Name of a command code ("HELLO", "UC_PROGRAM_DATA", ...), or "CMD_0xNN".
std::string commandName(uint8_t ubCmd);

// A JSON string literal of arbitrary bytes (bytes above 0x7F are taken as Latin-1).
std::string jsonString(const std::string &text);

} // namespace devsim

#endif
