// The emulated device driven in-process, byte by byte, with the project's framing.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <memory>

#include "protocol/commands.h"
#include "sim/sim_device.h"
#include "tests/support/aff_image.h"
#include "tests/unit/sim_test_link.h"

using namespace devsim;
using namespace simtest;

namespace
{

constexpr uint32_t kPart = 16; // part size of the test container

// A container with every component, each with its own version code.
testsupport::AffImage fullContainer()
{
    testsupport::AffImage img;
    img.productId = 7;
    img.hardwareId = 3;
    auto block = [](uint32_t type, size_t size, uint8_t seed, uint32_t code)
    {
        testsupport::AffImageBlock b;
        b.type = type;
        b.data = testsupport::affImagePattern(size, seed);
        b.partSize = kPart;
        b.version = {code, "Feb  2 2025"};
        return b;
    };
    img.blocks = {block(AFF_BLOCK_HOST_UC, 48, 1, 20000001),  block(AFF_BLOCK_DEVICE_UC, 32, 2, 20000002),
                  block(AFF_BLOCK_TI, 32, 3, 20000003),       block(AFF_BLOCK_ESP_FLASH, 32, 4, 20000004),
                  block(AFF_BLOCK_FPGA_NVCM0, 64, 5, 20005),  block(AFF_BLOCK_FPGA_NVCM1, 32, 6, 20006),
                  block(AFF_BLOCK_FPGA_USERCODE, 4, 7, 20007)};
    return img;
}

class SimDevice : public ::testing::Test
{
  protected:
    void SetUp() override
    {
        std::string pattern = (std::filesystem::temp_directory_path() / "sim-device-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        m_dir = pattern;
        m_log.setSink([](Logger::Kind, const std::string &) {});
    }
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    void useContainer()
    {
        Bytes bytes = fullContainer().build();
        std::string path = m_dir + "/fw.aff";
        std::ofstream(path, std::ios::binary)
            .write(reinterpret_cast<const char *>(bytes.data()), bytes.size());
        container = std::make_unique<Container>();
        std::string error;
        ASSERT_TRUE(container->load(path, &error)) << error;
        identity.productId = 7;
        identity.hardwareId = 3;
    }

    void make()
    {
        std::string error;
        ASSERT_TRUE(store.open(m_dir + "/state", &error)) << error;
        faults = std::make_unique<FaultPlan>(config.faults, stats);
        dev = std::make_unique<Device>(config, identity, store, container.get(), stats, *faults, m_log);
    }

    // A device in BOOT mode, locked, answering packets.
    void makeLocked()
    {
        config.startInBoot = true;
        make();
        ASSERT_EQ(say("AT+LOCK=1"), "AT+OK\n");
    }

    Bytes send(const Bytes &bytes, uint32_t baud = 115200)
    {
        dev->receive(bytes.data(), bytes.size(), baud, now);
        now += 1;
        Bytes out;
        for (const OutputChunk &chunk : dev->takeOutput())
            out.insert(out.end(), chunk.bytes.begin(), chunk.bytes.end());
        return out;
    }
    std::string say(const std::string &command, uint32_t baud = 115200)
    {
        std::string line = command + "\r\n";
        return split(send(Bytes(line.begin(), line.end()), baud)).text();
    }
    Response request(uint8_t cmd, const Bytes &data = {}) { return sendFrame(frame(cmd, data)); }
    Response sendFrame(const Bytes &bytes)
    {
        Traffic t = split(send(bytes));
        EXPECT_EQ(t.frames.size(), 1u);
        return t.frames.empty() ? Response{} : parse(t.frames[0]);
    }
    // A request forwarded by the host; the device's inner response.
    Response forwarded(uint8_t cmd, const Bytes &data = {})
    {
        Response outer = sendFrame(forwardFrame(cmd, data));
        EXPECT_TRUE(outer.isValid);
        EXPECT_EQ(outer.cmd, UPDATER_CMD_FORWARD);
        EXPECT_EQ(outer.status, kStatusOk);
        Response inner = unwrap(outer);
        EXPECT_TRUE(inner.isValid);
        EXPECT_EQ(inner.dir, SLIP_DIR_RESPONSE);
        return inner;
    }
    // Programs an image with begin/parts/end through a request function.
    template <typename Fn> void program(Fn send, uint8_t begin, const Bytes &image)
    {
        EXPECT_EQ(send(begin, u32(static_cast<uint32_t>(image.size()))).status, kStatusOk);
        for (uint32_t i = 0; i * kPart < image.size(); i++)
        {
            Bytes part(image.begin() + i * kPart, image.begin() + (i + 1) * kPart);
            EXPECT_EQ(send(begin + 1, cat({u32(i), part})).status, kStatusOk) << "part " << i;
        }
        EXPECT_EQ(send(begin + 2, {}).status, kStatusOk);
    }
    Bytes blockData(uint32_t type) { return container->firstBlock(type)->data; }

    SimConfig config;
    DeviceIdentity identity;
    Stats stats;
    ComponentStore store;
    std::unique_ptr<Container> container;
    std::unique_ptr<FaultPlan> faults;
    std::unique_ptr<Device> dev;
    uint64_t now = 1000;

  private:
    std::string m_dir;
    Logger m_log{true};
};

TEST_F(SimDevice, TextCommandsOfEachMode)
{
    // The mode to reach, a command, the expected reply lines, the mode after it.
    const struct
    {
        const char *name;
        Mode mode;
        const char *command, *reply;
        Mode after;
    } cases[] = {
        {"app boot?", Mode::Application, "AT+BOOT?", "AT+BOOT=0\n", Mode::Application},
        {"app config=1", Mode::Application, "AT+CONFIG=1", "AT+OK\n", Mode::Config},
        {"app lock=1", Mode::Application, "AT+LOCK=1", "AT+ERROR\n", Mode::Application},
        {"app noise before", Mode::Application,
         "xx\x01"
         "AT+BOOT?",
         "AT+BOOT=0\n", Mode::Application},
        {"config config?", Mode::Config, "AT+CONFIG?", "AT+CONFIG=1\n", Mode::Config},
        {"config reboot", Mode::Config, "AT+REBOOT_BOOTLOADER", "AT+OK\n", Mode::Restarting},
        {"boot boot?", Mode::Boot, "AT+BOOT?", "AT+BOOT=1\n", Mode::Boot},
        {"boot lock=0", Mode::Boot, "AT+LOCK=0", "AT+OK\n", Mode::Restarting},
        {"boot config=1", Mode::Boot, "AT+CONFIG=1", "AT+ERROR\n", Mode::Boot},
    };
    for (const auto &c : cases)
    {
        SCOPED_TRACE(c.name);
        config.startInBoot = c.mode == Mode::Boot;
        make();
        if (c.mode == Mode::Config)
        {
            ASSERT_EQ(say("AT+CONFIG=1"), "AT+OK\n");
        }
        EXPECT_EQ(say(c.command), c.reply);
        EXPECT_EQ(dev->mode(), c.after);
    }
}

TEST_F(SimDevice, RestartsTakeTimeAndTheBootloaderAnnouncesItself)
{
    make();
    EXPECT_EQ(say("AT+REBOOT_BOOTLOADER"), "AT+OK\n");
    EXPECT_EQ(say("AT+BOOT?"), "") << "nobody listens while the device restarts";
    dev->tick(now + kRestartMs);
    EXPECT_EQ(split(send({})).text(), "AT+BOOTLOADER_START\n");
    EXPECT_EQ(say("AT+BOOT?"), "AT+BOOT=1\n");
    // Unlocking restarts into the application, which announces nothing.
    EXPECT_EQ(say("AT+LOCK=1"), "AT+OK\n");
    EXPECT_EQ(say("AT+LOCK=0"), "AT+OK\n");
    dev->tick(now + kRestartMs);
    EXPECT_EQ(split(send({})).text(), "");
    EXPECT_EQ(say("AT+BOOT?"), "AT+BOOT=0\n");
    EXPECT_FALSE(dev->isLocked());
}

TEST_F(SimDevice, ApplicationAtAnotherRateOnlyHearsThatRate)
{
    config.appBaud = 921600;
    make();
    EXPECT_EQ(say("AT+BOOT?", 115200), "");
    EXPECT_GT(stats.garbledBytes, 0u);
    // The CONFIG procedure: three commands at the application's rate, then 115200.
    std::string three = "AT+CONFIG=1\r\nAT+CONFIG=1\r\nAT+CONFIG=1\r\n";
    EXPECT_EQ(split(send(Bytes(three.begin(), three.end()), 921600)).text(), "AT+OK\n");
    EXPECT_EQ(dev->mode(), Mode::Config);
    EXPECT_EQ(say("AT+CONFIG=1", 115200), "AT+OK\n");
    EXPECT_EQ(say("AT+CONFIG?", 115200), "AT+CONFIG=1\n");
}

TEST_F(SimDevice, HelloOfEachBootloader)
{
    identity = {7, 3, 6};
    config.startInBoot = true;
    make();
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}))).frames.empty()) << "packets need the lock";
    ASSERT_EQ(say("AT+LOCK=1"), "AT+OK\n");
    store.setVersionCode(VersionSlot::HostUc, 11);
    store.setVersionCode(VersionSlot::DeviceUc, 22);
    store.setVersionCode(VersionSlot::Wifi, 33);
    store.setVersionCode(VersionSlot::Fpga, 44);
    store.setVersionCode(VersionSlot::Ti, 55);

    auto check = [](const Response &r, uint32_t firmware, uint32_t hostFlag)
    {
        ASSERT_TRUE(r.isValid);
        ASSERT_EQ(r.status, kStatusOk);
        ASSERT_EQ(r.payload.size(), UPDATER_HELLO_DATA_SIZE - 4u);
        const uint8_t *p = r.payload.data();
        // Protocol id, bootloader, product, hardware, the answering controller's firmware,
        // FPGA, Wi-Fi, host flag, TI.
        std::vector<uint32_t> words;
        for (size_t at : {0, 4, 20, 24, 28, 44, 60, 76, 80})
            words.push_back(leGetU32(p + at));
        EXPECT_EQ(words, (std::vector<uint32_t>{6, 20100000, 7, 3, firmware, 44, 33, hostFlag, 55}));
    };
    check(request(UPDATER_CMD_HELLO), 11, 1);
    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(1)).status, kStatusOk);
    check(forwarded(UPDATER_CMD_HELLO), 22, 0);
    EXPECT_EQ(forwarded(UPDATER_CMD_WIFI_INIT, u32(0)).status, kStatusOk);
    check(forwarded(UPDATER_CMD_HELLO), 33, 0);
}

TEST_F(SimDevice, ForwardingNeedsTheDeviceBootloaderAndCarriesTheDecodedResponse)
{
    makeLocked();
    EXPECT_EQ(sendFrame(forwardFrame(UPDATER_CMD_HELLO, {})).status, kStatusSequence);

    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(1)).status, kStatusOk);
    Response outer = sendFrame(forwardFrame(UPDATER_CMD_IV, Bytes(16, 0xC0)));
    // The inner response sits in the data in its decoded layout: END, header, data, END.
    ASSERT_EQ(outer.payload.size(), 14u);
    Response inner = unwrap(outer);
    EXPECT_TRUE(inner.isValid && inner.cmd == UPDATER_CMD_IV && inner.status == kStatusOk);

    // Rebooting the device ends forwarding.
    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(0)).status, kStatusOk);
    EXPECT_EQ(sendFrame(forwardFrame(UPDATER_CMD_HELLO, {})).status, kStatusSequence);
}

TEST_F(SimDevice, FullUpdateStoresEveryImageAndReportsTheContainerVersions)
{
    useContainer();
    makeLocked();
    auto direct = [this](uint8_t cmd, const Bytes &data) { return request(cmd, data); };
    auto viaHost = [this](uint8_t cmd, const Bytes &data) { return forwarded(cmd, data); };

    program(direct, UPDATER_CMD_UC_PROGRAM_BEGIN, blockData(AFF_BLOCK_HOST_UC));
    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(1)).status, kStatusOk);
    program(viaHost, UPDATER_CMD_UC_PROGRAM_BEGIN, blockData(AFF_BLOCK_DEVICE_UC));
    program(viaHost, UPDATER_CMD_TI_PROGRAM_BEGIN, blockData(AFF_BLOCK_TI));
    EXPECT_EQ(forwarded(UPDATER_CMD_WIFI_INIT, u32(32)).status, kStatusOk);
    EXPECT_TRUE(dev->isWifiHandedOver());
    program(viaHost, UPDATER_CMD_UC_PROGRAM_BEGIN, blockData(AFF_BLOCK_ESP_FLASH));

    for (auto [image, type] : {std::pair{Image::HostUc, AFF_BLOCK_HOST_UC},
                               {Image::DeviceUc, AFF_BLOCK_DEVICE_UC},
                               {Image::Ti, AFF_BLOCK_TI},
                               {Image::Wifi, AFF_BLOCK_ESP_FLASH}})
        EXPECT_EQ(store.image(image), blockData(type)) << type;
    EXPECT_EQ(store.version(VersionSlot::Wifi).ulCode, 20000004u);
    EXPECT_EQ(std::string(store.version(VersionSlot::Wifi).szDate), "Feb  2 2025");
}

TEST_F(SimDevice, FpgaPhasesWriteVerifyAndReportMismatches)
{
    useContainer();
    makeLocked();
    Bytes nvcm0 = blockData(AFF_BLOCK_FPGA_NVCM0);
    Bytes nvcm1 = blockData(AFF_BLOCK_FPGA_NVCM1);
    auto phase = [&](uint32_t memory, uint32_t op, const Bytes &image)
    {
        EXPECT_EQ(request(UPDATER_CMD_FPGA_PROGRAM_BEGIN, cat({u32(memory), u32(op), u32(4)})).status,
                  kStatusOk);
        // The first status that is not success, as the updater stops there.
        for (uint32_t i = 0; i * kPart < image.size(); i++)
        {
            Bytes part(image.begin() + i * kPart, image.begin() + (i + 1) * kPart);
            uint32_t status = request(UPDATER_CMD_FPGA_PROGRAM_DATA, cat({u32(i), part})).status;
            if (status != kStatusOk)
                return status;
        }
        return kStatusOk;
    };
    EXPECT_EQ(request(UPDATER_CMD_FPGA_BEGIN).status, kStatusOk);
    EXPECT_EQ(phase(0, 1, nvcm0), kStatusOk);
    EXPECT_EQ(request(UPDATER_CMD_FPGA_USERCODE, Bytes{1, 2, 3, 4}).status, kStatusOk);
    EXPECT_EQ(phase(0, 0, nvcm0), kStatusOk);
    EXPECT_EQ(phase(1, 1, nvcm1), kStatusOk);
    EXPECT_EQ(phase(1, 0, nvcm1), kStatusOk);
    EXPECT_EQ(request(UPDATER_CMD_FPGA_END).status, kStatusOk);
    EXPECT_EQ(store.image(Image::Nvcm0), nvcm0);
    EXPECT_EQ(store.image(Image::Usercode), (Bytes{1, 2, 3, 4}));
    EXPECT_EQ(store.version(VersionSlot::Fpga).ulCode, 20005u) << "the NVCM0 block's version";

    // A verify pass with other data fails at the part that differs.
    Bytes changed = nvcm0;
    changed[kPart + 3] ^= 0x01;
    EXPECT_EQ(request(UPDATER_CMD_FPGA_BEGIN).status, kStatusOk);
    EXPECT_EQ(phase(0, 0, changed), kStatusVerifyFailed);
}

TEST_F(SimDevice, DeviceWithoutHostForwardsToWifiAfterTheHandOver)
{
    config.noHost = true;
    makeLocked();
    Response hello = request(UPDATER_CMD_HELLO);
    EXPECT_EQ(leGetU32(hello.payload.data() + 76), 0u) << "no host flag";
    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(1)).status, kStatusUnknownCommand);
    EXPECT_EQ(sendFrame(forwardFrame(UPDATER_CMD_HELLO, {})).status, kStatusSequence);
    EXPECT_EQ(request(UPDATER_CMD_WIFI_INIT, u32(0)).status, kStatusOk);
    program([this](uint8_t cmd, const Bytes &data) { return forwarded(cmd, data); },
            UPDATER_CMD_UC_PROGRAM_BEGIN, Bytes(2 * kPart, 0x5A));
    EXPECT_EQ(store.image(Image::Wifi), Bytes(2 * kPart, 0x5A));
    EXPECT_TRUE(store.image(Image::DeviceUc).empty());
    // The FPGA, sent directly, still goes to the device bootloader.
    EXPECT_EQ(request(UPDATER_CMD_FPGA_BEGIN).status, kStatusOk);
}

TEST_F(SimDevice, MalformedRequestsAreAnsweredWithTheirCommand)
{
    makeLocked();
    EXPECT_EQ(request(UPDATER_CMD_DEVICE_BOOT, u32(1)).status, kStatusOk);
    Bytes badCrc = frame(UPDATER_CMD_HELLO, {1, 2});
    badCrc[5] ^= 0x01;
    Bytes badLength = frame(UPDATER_CMD_IV, Bytes(16, 1));
    badLength.insert(badLength.end() - 1, 0x00);
    Bytes innerBadCrc = frame(UPDATER_CMD_HELLO, {1});
    innerBadCrc[5] ^= 0x01;

    struct Case
    {
        const char *name;
        Bytes bytes;
        uint8_t cmd;
        uint32_t status;
    };
    const Case cases[] = {
        {"checksum", badCrc, UPDATER_CMD_HELLO, kStatusBadFrame},
        {"length", badLength, UPDATER_CMD_IV, kStatusBadFrame},
        {"short IV", frame(UPDATER_CMD_IV, Bytes(15, 1)), UPDATER_CMD_IV, kStatusBadData},
        {"bad boot value", frame(UPDATER_CMD_DEVICE_BOOT, u32(2)), UPDATER_CMD_DEVICE_BOOT, kStatusBadData},
        {"part before begin", frame(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(0), {1}})),
         UPDATER_CMD_UC_PROGRAM_DATA, kStatusSequence},
        {"short FPGA phase", frame(UPDATER_CMD_FPGA_PROGRAM_BEGIN, Bytes(8, 0)),
         UPDATER_CMD_FPGA_PROGRAM_BEGIN, kStatusBadData},
        {"unknown", frame(0x77, {}), 0x77, kStatusUnknownCommand},
        {"inner checksum", frame(UPDATER_CMD_FORWARD, innerBadCrc), UPDATER_CMD_FORWARD, kStatusBadFrame},
        {"inner not a frame", frame(UPDATER_CMD_FORWARD, {1, 2, 3}), UPDATER_CMD_FORWARD, kStatusBadFrame},
    };
    for (const Case &c : cases)
    {
        SCOPED_TRACE(c.name);
        Response r = sendFrame(c.bytes);
        EXPECT_TRUE(r.isValid);
        EXPECT_EQ(r.cmd, c.cmd);
        EXPECT_EQ(r.status, c.status);
    }
    EXPECT_EQ(stats.malformedRequests, 7u);
    // The inner request's own malformation is reported inside the forwarding answer.
    EXPECT_EQ(forwarded(UPDATER_CMD_IV, Bytes(3, 0)).status, kStatusBadData);
    // Responses and a frame abandoned half-way are not answered.
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}, SLIP_DIR_RESPONSE))).frames.empty());
    Bytes half = frame(UPDATER_CMD_HELLO, {});
    send(Bytes(half.begin(), half.begin() + 4));
    now += kFrameGapMs + 1;
    EXPECT_EQ(request(UPDATER_CMD_HELLO).status, kStatusOk);
}

TEST_F(SimDevice, InjectedResponseFaults)
{
    config.faults.loseResponse = {2};
    config.faults.corruptResponse = {3};
    config.faults.statusAnswer = {{4, 0x42}};
    makeLocked();
    EXPECT_TRUE(request(UPDATER_CMD_HELLO).isValid);
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}))).frames.empty()) << "second response lost";
    Response corrupted = request(UPDATER_CMD_HELLO);
    EXPECT_FALSE(corrupted.isValid);
    EXPECT_EQ(corrupted.cmd, UPDATER_CMD_HELLO);
    // The fourth request is refused without being carried out.
    Response forced = request(UPDATER_CMD_UC_PROGRAM_BEGIN, u32(16));
    EXPECT_EQ(forced.status, 0x42u);
    EXPECT_EQ(request(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(0), {1}})).status, kStatusSequence);
    EXPECT_EQ(stats.faults.statusAnswers, 1u);
}

TEST_F(SimDevice, LateAnswerFollowsTheAnswersSentMeanwhileAndDiesWithARestart)
{
    makeLocked();
    faults->answerLate(1, 2000); // scheduled directly, as an in-process driver does
    faults->answerLate(3, 2000);
    uint64_t due = now + 2000;
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}))).frames.empty());
    EXPECT_EQ(dev->nextDeadline(), due);
    EXPECT_EQ(request(UPDATER_CMD_IV, Bytes(16, 0)).cmd, UPDATER_CMD_IV)
        << "the next request is answered at once";
    dev->tick(due - 1);
    EXPECT_TRUE(split(send({})).frames.empty());
    dev->tick(due);
    Traffic late = split(send({}));
    ASSERT_EQ(late.frames.size(), 1u);
    EXPECT_TRUE(parse(late.frames[0]).isValid && parse(late.frames[0]).cmd == UPDATER_CMD_HELLO);
    EXPECT_EQ(dev->nextDeadline(), std::nullopt);
    // A held answer is lost when its bootloader restarts.
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}))).frames.empty());
    EXPECT_EQ(say("AT+LOCK=0"), "AT+OK\n");
    dev->tick(now + 5000);
    EXPECT_TRUE(split(send({})).frames.empty());
    EXPECT_EQ(stats.faults.lateAnswers, 2u);
}

TEST_F(SimDevice, InjectedTextErrorsAndSilence)
{
    config.faults.atErrorCount = 2;
    config.faults.atErrorText = "AT+LOCK=1";
    config.faults.silentAfter = 1;
    config.startInBoot = true;
    make();
    EXPECT_EQ(say("AT+BOOT?"), "AT+BOOT=1\n");
    EXPECT_EQ(say("AT+LOCK=1"), "AT+ERROR\n");
    EXPECT_EQ(say("AT+LOCK=1"), "AT+ERROR\n");
    EXPECT_EQ(say("AT+LOCK=1"), "AT+OK\n");
    EXPECT_EQ(request(UPDATER_CMD_HELLO).status, kStatusOk);
    EXPECT_TRUE(split(send(frame(UPDATER_CMD_HELLO, {}))).frames.empty());
    EXPECT_EQ(say("AT+BOOT?"), "") << "a silent device answers nothing";
    EXPECT_EQ(stats.faults.silencedRequests, 1u);
}

TEST_F(SimDevice, DisconnectAtAPartKeepsThePartButNotItsAnswer)
{
    config.faults.disconnectPart = 2;
    config.faults.disconnectMs = 1500;
    makeLocked();
    EXPECT_EQ(request(UPDATER_CMD_UC_PROGRAM_BEGIN, u32(32)).status, kStatusOk);
    EXPECT_EQ(request(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(0), Bytes(kPart, 1)})).status, kStatusOk);
    uint32_t ms = 0;
    EXPECT_FALSE(dev->takeDisconnect(&ms));
    EXPECT_TRUE(
        split(send(frame(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(1), Bytes(kPart, 2)})))).frames.empty());
    EXPECT_TRUE(dev->takeDisconnect(&ms));
    EXPECT_EQ(ms, 1500u);
    EXPECT_EQ(store.image(Image::HostUc).size(), 2 * kPart);
    // The resend after the link is back is answered and changes nothing.
    EXPECT_EQ(request(UPDATER_CMD_UC_PROGRAM_DATA, cat({u32(1), Bytes(kPart, 2)})).status, kStatusOk);
    EXPECT_EQ(store.image(Image::HostUc), cat({Bytes(kPart, 1), Bytes(kPart, 2)}));
}

TEST_F(SimDevice, RandomFaultsFollowTheRateAndTheSeed)
{
    auto run = [this](uint64_t seed)
    {
        config.faults.randomRate = 0.2;
        config.faults.seed = seed;
        stats = Stats();
        makeLocked();
        std::string pattern;
        for (int i = 0; i < 400; i++)
        {
            Traffic t = split(send(frame(UPDATER_CMD_HELLO, {})));
            pattern += t.frames.empty() ? 'L' : parse(t.frames[0]).isValid ? '.' : 'C';
        }
        return pattern;
    };
    std::string first = run(5);
    EXPECT_EQ(run(5), first);
    EXPECT_NE(run(6), first);
    size_t lost = std::count(first.begin(), first.end(), 'L');
    size_t corrupted = std::count(first.begin(), first.end(), 'C');
    EXPECT_GT(lost, 40u);
    EXPECT_LT(lost, 120u);
    EXPECT_GT(corrupted, 30u); // 0.8 * 0.2 of the rest
    EXPECT_LT(corrupted, 100u);
}

} // namespace
