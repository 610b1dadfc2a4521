// The text dialogue: the "AT+" commands of the application, its CONFIG mode and the
// bootloader, with the restarts some of them cause.

#include "sim/sim_device.h"

namespace devsim
{

namespace
{

// Text commands and replies of the link.
const std::string kAtPrefix = "AT+";
const std::string kBootQuery = "AT+BOOT?";
const std::string kConfigQuery = "AT+CONFIG?";
const std::string kConfigOn = "AT+CONFIG=1";
const std::string kConfigOff = "AT+CONFIG=0";
const std::string kRebootBootloader = "AT+REBOOT_BOOTLOADER";
const std::string kLockOn = "AT+LOCK=1";
const std::string kLockOff = "AT+LOCK=0";
const std::string kReplyOk = "AT+OK";
const std::string kReplyError = "AT+ERROR";
const std::string kReplyBoot0 = "AT+BOOT=0";
const std::string kReplyBoot1 = "AT+BOOT=1";
const std::string kReplyConfig0 = "AT+CONFIG=0";
const std::string kReplyConfig1 = "AT+CONFIG=1";

constexpr size_t kMaxDistinctTexts = 64; // further distinct texts are counted together
const std::string kOtherTexts = "(other)";

const char *modeName(Mode mode)
{
    switch (mode)
    {
    case Mode::Application:
        return "application";
    case Mode::Config:
        return "CONFIG";
    case Mode::Restarting:
        return "restarting";
    default:
        return "BOOT";
    }
}

} // namespace

void Device::onLine(const std::string &line, uint64_t nowMs)
{
    // Noise before a command (a garbled byte, a stray character) does not hide it.
    size_t start = line.find(kAtPrefix);
    if (start == std::string::npos)
    {
        m_log.trace(nowMs, "ignored text line " + jsonString(line));
        return;
    }
    std::string command = line.substr(start);
    if (m_stats.textCommands.count(command) || m_stats.textCommands.size() < kMaxDistinctTexts)
        m_stats.textCommands[command]++;
    else
        m_stats.textCommands[kOtherTexts]++;

    std::string where = std::string("text ") + jsonString(command) + " in " + modeName(m_mode) + " mode";
    if (m_faults.isSilent())
    {
        m_log.trace(nowMs, where + " -> no answer (silent)");
        return;
    }
    if (m_faults.onTextCommand(command))
    {
        emitText(kReplyError);
        m_log.trace(nowMs, where + " -> \"" + kReplyError + "\" (injected)");
        return;
    }
    std::string answer = answerText(command, nowMs);
    m_log.trace(nowMs, where + " -> \"" + answer + "\"");
}

std::string Device::answerText(const std::string &command, uint64_t nowMs)
{
    std::string answer = kReplyError;
    // Commands that work in every mode.
    if (command == kRebootBootloader)
    {
        emitText(kReplyOk);
        restart(Mode::Boot, nowMs);
        return kReplyOk;
    }
    if (m_mode == Mode::Boot)
    {
        if (command == kBootQuery)
            answer = kReplyBoot1;
        else if (command == kConfigQuery)
            answer = kReplyConfig0;
        else if (command == kLockOn)
        {
            m_isLocked = true;
            answer = kReplyOk;
        }
        else if (command == kLockOff)
        {
            emitText(kReplyOk);
            restart(Mode::Application, nowMs);
            return kReplyOk;
        }
        emitText(answer);
        return answer;
    }

    // The application, in its normal or its CONFIG mode.
    bool isConfig = m_mode == Mode::Config;
    if (command == kBootQuery)
        answer = kReplyBoot0;
    else if (command == kConfigQuery)
        answer = isConfig ? kReplyConfig1 : kReplyConfig0;
    else if (command == kLockOff)
        answer = kReplyOk; // the bootloader is not locked while the application runs
    else if (command == kConfigOn || command == kConfigOff)
        answer = kReplyOk;
    // The answer goes out at the rate of the mode the command arrived in.
    emitText(answer);
    if (command == kConfigOn)
        m_mode = Mode::Config;
    else if (command == kConfigOff)
        m_mode = Mode::Application;
    return answer;
}

} // namespace devsim
