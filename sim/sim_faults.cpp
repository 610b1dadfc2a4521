#include "sim/sim_faults.h"

#include <algorithm>

namespace devsim
{

namespace
{

constexpr uint64_t kSplitMixIncrement = 0x9E3779B97F4A7C15ull;
constexpr uint64_t kSplitMixMul1 = 0xBF58476D1CE4E5B9ull;
constexpr uint64_t kSplitMixMul2 = 0x94D049BB133111EBull;
constexpr int kMantissaBits = 53;

bool contains(const std::vector<uint32_t> &list, uint32_t n)
{
    return std::find(list.begin(), list.end(), n) != list.end();
}

} // namespace

double FaultRandom::next()
{
    m_state += kSplitMixIncrement;
    uint64_t z = m_state;
    z = (z ^ (z >> 30)) * kSplitMixMul1;
    z = (z ^ (z >> 27)) * kSplitMixMul2;
    z ^= z >> 31;
    return static_cast<double>(z >> (64 - kMantissaBits)) / static_cast<double>(1ull << kMantissaBits);
}

FaultPlan::FaultPlan(const FaultConfig &config, Stats &stats)
    : m_config(config), m_stats(stats), m_random(config.seed)
{
}

void FaultPlan::failTextCommands(uint32_t count, const std::string &text)
{
    m_config.atErrorCount = count;
    m_config.atErrorText = text;
}

void FaultPlan::disconnectAtPart(uint32_t part, uint32_t ms)
{
    m_config.disconnectPart = part;
    m_config.disconnectMs = ms;
}

void FaultPlan::randomFaults(double rate, uint64_t seed)
{
    m_config.randomRate = rate;
    m_config.seed = seed;
    m_random = FaultRandom(seed);
}

bool FaultPlan::isSilent() const
{
    return m_config.silentAfter && m_requests >= *m_config.silentAfter;
}

RequestFate FaultPlan::onRequest(uint32_t *pStatus)
{
    if (isSilent())
    {
        m_stats.faults.silencedRequests++;
        return RequestFate::Ignore;
    }
    m_requests++;
    for (const auto &[n, status] : m_config.statusAnswer)
    {
        if (n == m_requests)
        {
            *pStatus = status;
            m_stats.faults.statusAnswers++;
            return RequestFate::AnswerStatus;
        }
    }
    return RequestFate::Execute;
}

bool FaultPlan::onTextCommand(const std::string &line)
{
    if (m_textErrors >= m_config.atErrorCount)
        return false;
    if (!m_config.atErrorText.empty() && line != m_config.atErrorText)
        return false;
    m_textErrors++;
    m_stats.faults.atErrors++;
    return true;
}

bool FaultPlan::onPart(uint32_t *pMs)
{
    m_parts++;
    if (m_config.disconnectPart == 0 || m_parts != m_config.disconnectPart)
        return false;
    *pMs = m_config.disconnectMs;
    m_stats.faults.disconnects++;
    return true;
}

ResponseFate FaultPlan::onResponse()
{
    m_responses++;
    if (contains(m_config.loseResponse, m_responses))
    {
        m_stats.faults.lostResponses++;
        return ResponseFate::Lose;
    }
    if (contains(m_config.corruptResponse, m_responses))
    {
        m_stats.faults.corruptedResponses++;
        return ResponseFate::Corrupt;
    }
    if (m_config.randomRate > 0.0)
    {
        if (m_random.next() < m_config.randomRate)
        {
            m_stats.faults.randomLost++;
            return ResponseFate::Lose;
        }
        if (m_random.next() < m_config.randomRate)
        {
            m_stats.faults.randomCorrupted++;
            return ResponseFate::Corrupt;
        }
    }
    return ResponseFate::Send;
}

bool FaultPlan::isAnswerLate(uint32_t *pDelayMs)
{
    // Responses are sent while their request is carried out: the last request counted.
    for (const auto &[n, delayMs] : m_config.lateAnswer)
    {
        if (n == m_requests)
        {
            *pDelayMs = delayMs;
            m_stats.faults.lateAnswers++;
            return true;
        }
    }
    return false;
}

} // namespace devsim
