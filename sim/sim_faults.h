#ifndef SIM_SIM_FAULTS_H
#define SIM_SIM_FAULTS_H

// The faults a session injects, decided request by request and response by response.
// Requests and responses are counted on the link from 1; a forwarded request and its
// answer count once. Firmware parts (UC_PROGRAM_DATA, TI_PROGRAM_DATA,
// FPGA_PROGRAM_DATA) are counted wherever they are executed. Every request is answered
// by one response (lost or not) until the device goes silent or the link drops at a
// part, so until then the Nth response is the answer to the Nth request.
//
// The command line fills the plan through FaultConfig; a driver in the same process may
// schedule the same faults directly, before or between requests.

#include <cstdint>
#include <string>

#include "sim/sim_config.h"
#include "sim/sim_stats.h"

namespace devsim
{

// Deterministic pseudo-random numbers (splitmix64), the same on every platform.
class FaultRandom
{
  public:
    explicit FaultRandom(uint64_t seed) : m_state(seed) {}
    double next(); // uniform in [0, 1)

  private:
    uint64_t m_state;
};

enum class RequestFate
{
    Execute,      // carry the request out and answer it
    Ignore,       // the device has gone silent
    AnswerStatus, // answer with the configured status word, without carrying it out
};

enum class ResponseFate
{
    Send,
    Lose,
    Corrupt, // send with a wrong checksum
};

class FaultPlan
{
  public:
    FaultPlan(const FaultConfig &config, Stats &stats);
    explicit FaultPlan(Stats &stats) : FaultPlan(FaultConfig(), stats) {}

    // Scheduling by hand; numbers count from 1 as on the command line.
    void loseResponse(uint32_t response) { m_config.loseResponse.push_back(response); }
    void corruptResponse(uint32_t response) { m_config.corruptResponse.push_back(response); }
    void answerStatus(uint32_t request, uint32_t status)
    {
        m_config.statusAnswer.emplace_back(request, status);
    }
    void answerLate(uint32_t request, uint32_t delayMs)
    {
        m_config.lateAnswer.emplace_back(request, delayMs);
    }
    void failTextCommands(uint32_t count, const std::string &text = std::string());
    void disconnectAtPart(uint32_t part, uint32_t ms);
    void silenceAfter(uint32_t requests) { m_config.silentAfter = requests; }
    void randomFaults(double rate, uint64_t seed);

    // A request packet arrived on the link. For AnswerStatus, *pStatus is the word.
    RequestFate onRequest(uint32_t *pStatus);
    // A text command arrived: true when it must be answered "AT+ERROR" instead.
    bool onTextCommand(const std::string &line);
    // True once the device has gone silent (nothing is answered any more).
    bool isSilent() const;
    // A firmware part was executed: true when the link must drop now, for *pMs.
    bool onPart(uint32_t *pMs);
    // A response packet is about to be sent.
    ResponseFate onResponse();
    // The response being sent answers a request whose answer is due *pDelayMs later.
    bool isAnswerLate(uint32_t *pDelayMs);

    uint32_t requestCount() const { return m_requests; }
    uint32_t responseCount() const { return m_responses; }
    uint32_t partCount() const { return m_parts; }

  private:
    FaultConfig m_config;
    Stats &m_stats;
    FaultRandom m_random;
    uint32_t m_requests = 0;
    uint32_t m_responses = 0;
    uint32_t m_parts = 0;
    uint32_t m_textErrors = 0;
};

} // namespace devsim

#endif
