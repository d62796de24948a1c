// Command frames, payload packing, reply decoding and the refusals of the
// parameter commands.
#include <gtest/gtest.h>

#include "core/config/SensorCodes.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "core/base/TextInput.h"
#include "core/config/CommandFrame.h"
#include "core/config/SensorCodes.h"
#include "core/config/SensorCommander.h"
#include "core/config/SensorSettingsCache.h"

using namespace tav;

namespace {

std::vector<uint8_t> Bytes(const CommandFrame &f) { return {f.bytes, f.bytes + f.length}; }

class RecordingTransport : public CommandTransport {
public:
    std::vector<std::vector<uint8_t>> frames;
    long Send(int, const uint8_t *data, size_t length, std::string *, uint32_t) override
    {
        frames.emplace_back(data, data + length);
        return long(length);
    }
};

// A commander on slot 3, whose sensor reports address 7.
struct Rig {
    std::unique_ptr<ConnectionTable> tableOwner = std::make_unique<ConnectionTable>();  // too big for the stack
    ConnectionTable &table = *tableOwner;
    SensorSettingsCache cache;
    RecordingTransport transport;
    SensorCommander commander{table, cache, transport};
    explicit Rig(bool connected = true)
    {
        if (connected) {
            table[3].inUse = 1;
            table.onlineCount = 1;
        }
        table[3].sensorAddress = 7;
        table[3].generation = 5;
        commander.SelectSlot(3);
    }
    uint16_t SequenceOf(size_t i) const { return uint16_t(transport.frames[i][6] | transport.frames[i][7] << 8); }
};

std::vector<uint8_t> Reply(uint16_t count, const std::vector<uint8_t> &values)
{
    std::vector<uint8_t> r(18 + values.size(), 0);
    std::memcpy(r.data(), "PRAS", 4);
    r[4] = uint8_t(r.size());
    r[16] = uint8_t(count);
    std::copy(values.begin(), values.end(), r.begin() + 18);
    return r;
}

CommunicationInput GoodCommunication()
{
    return {"192.168.1.20", "255.255.255.0", "192.168.1.1", "192.168.1.1", "22009", "192.168.1.100"};
}

ParameterInput GoodParameters()
{
    ParameterInput p;
    p.measuringRange = 1;
    p.acquisitionTime = p.unlabeledTime = p.intervalTime = p.downsampling = "0";
    p.highPass = "5";
    p.lowPass = "1000";
    return p;
}

}  // namespace

TEST(CommandFrame, ReadOfSensorSevenAsFirstCommand)
{
    Rig rig;
    rig.commander.ResetSequence();
    CommandResult r = rig.commander.ReadParameters();
    ASSERT_TRUE(r.sent);
    std::vector<uint8_t> expected = {'P', 'D', 'R', 'T', 24, 0, 1, 0, 0, 0, 4, 0,
                                     7,   0,   3,   0,   0,  0, 12, 0, 'P', 'E', 'N', 'D'};
    EXPECT_EQ(Bytes(r.frame), expected);
    EXPECT_EQ(rig.transport.frames.at(0), expected);
}

TEST(CommandFrame, CommunicationWriteAsSixthCommand)
{
    Rig rig;
    for (int i = 0; i < 5; ++i)
        rig.commander.ReadCommunication();
    auto answer = Reply(11, std::vector<uint8_t>(22, 0));
    rig.cache.Intake(3, answer.data(), answer.size(), 5);
    CommandResult r = rig.commander.WriteCommunication(GoodCommunication());
    ASSERT_TRUE(r.sent) << r.message;
    std::vector<uint8_t> expected = {0x50, 0x44, 0x57, 0x54, 0x30, 0x00, 0x06, 0x00, 0x00, 0x00, 0x10, 0x00,
                                     0x07, 0x00, 0x10, 0x00, 0x0F, 0x00, 0x0B, 0x00, 0x16, 0x00, 0xC0, 0xA8,
                                     0x01, 0x14, 0xFF, 0xFF, 0xFF, 0x00, 0xC0, 0xA8, 0x01, 0x01, 0xC0, 0xA8,
                                     0x01, 0x01, 0xF9, 0x55, 0xC0, 0xA8, 0x01, 0x64, 0x50, 0x45, 0x4E, 0x44};
    EXPECT_EQ(Bytes(r.frame), expected);
    // Device IP at offsets 22..25, port 22009 as F9 55.
    EXPECT_EQ(r.frame.bytes[22], 0xC0);
    EXPECT_EQ(r.frame.bytes[25], 0x14);
}

TEST(CommandFrame, BlockWriteLengthsAndSingleWrite)
{
    uint8_t payload[24] = {};
    EXPECT_EQ(CommandFrame::WriteBlockRequest(1, 7, 0, payload, 12).length, 50);
    EXPECT_EQ(CommandFrame::WriteBlockRequest(1, 7, 31, payload, 4).length, 34);
    EXPECT_EQ(CommandFrame::WriteBlockRequest(1, 7, 12, payload, 3).length, 32);
    CommandFrame lock = CommandFrame::WriteBlockRequest(1, 7, 27, payload, 2);
    EXPECT_EQ(lock.length, 30);
    EXPECT_EQ(lock.bytes[10], 7);  // 5 + n words
    CommandFrame up = CommandFrame::WriteSingleRequest(9, 0x1234, 0, kCommandEnterUpgradeMode);
    std::vector<uint8_t> expected = {'P', 'D', 'W', 'T', 24, 0, 9, 0, 0, 0, 4, 0, 0x34, 0x12, 6, 0,
                                     0,   0,   0x2C, 0x4D, 'P', 'E', 'N', 'D'};
    EXPECT_EQ(Bytes(up), expected);
}

TEST(CommandFrame, PayloadPacking)
{
    ParameterSettings p;
    p.measuringRange = 2;
    p.acquisitionTime = 0x0102;
    p.highPassHz = 5;
    p.lowPassHz = -2;
    uint8_t block[24];
    PutParameterBlock(block, p);
    EXPECT_EQ(block[0], 0);
    EXPECT_EQ(block[2], 2);
    EXPECT_EQ(block[8], 0x02);
    EXPECT_EQ(block[9], 0x01);
    EXPECT_EQ(std::vector<uint8_t>(block + 16, block + 20), (std::vector<uint8_t>{5, 0, 0, 0}));
    EXPECT_EQ(std::vector<uint8_t>(block + 20, block + 24), (std::vector<uint8_t>{0xFE, 0xFF, 0xFF, 0xFF}));

    uint8_t mac[6] = {1, 2, 3, 4, 5, 255}, out[6];
    PutMac(out, mac);  // register 12 = box1 + 256 x box2, little-endian
    EXPECT_EQ(std::vector<uint8_t>(out, out + 6), (std::vector<uint8_t>{1, 2, 3, 4, 5, 255}));

    uint8_t id[8];
    PutDeviceId(id, "AB");
    EXPECT_EQ(std::vector<uint8_t>(id, id + 8), (std::vector<uint8_t>{0x41, 0x42, 0, 0, 0, 0, 0, 0}));
    PutDeviceId(id, "ABCDEFGHIJK");
    EXPECT_EQ(std::string(reinterpret_cast<char *>(id), 8), "ABCDEFGH");

    uint8_t code[4];
    PutLockCode(code, 0x11223344);
    EXPECT_EQ(std::vector<uint8_t>(code, code + 4), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    EXPECT_EQ(FormatHex(code, 2), "44 33 ");
}

TEST(CommandFrame, Ipv4RoundTripForEveryOctetPattern)
{
    for (unsigned v = 0; v < 256; ++v) {
        for (uint32_t address : {v * 0x01010101u, v << 24, v << 16 | 0xA5, v << 8 | 0x5A000000u, v | 0xC0A80100u}) {
            uint8_t wire[4];
            PutIpv4(wire, address);
            uint16_t r1 = uint16_t(wire[0] | wire[1] << 8), r2 = uint16_t(wire[2] | wire[3] << 8);
            ASSERT_EQ(DecodeIpv4(r1, r2), address);
            ASSERT_EQ(ParseIpv4(FormatIpv4(address)), address);
        }
    }
    uint8_t wire[4];
    PutIpv4(wire, *ParseIpv4("192.168.1.20"));
    EXPECT_EQ(std::vector<uint8_t>(wire, wire + 4), (std::vector<uint8_t>{0xC0, 0xA8, 0x01, 0x14}));
    for (const char *bad : {"", "192.168.1", "192.168.1.256", "1.2.3.4.5", "1..2.3", "a.b.c.d", "1.2.3.4x"})
        EXPECT_FALSE(ParseIpv4(bad)) << bad;
}

TEST(CommandSequence, ParameterWriteSkipsOneNumber)
{
    Rig rig;
    rig.commander.ReadCommunication();  // k - 1 = 1
    rig.cache.Intake(3, Reply(12, std::vector<uint8_t>(24, 0)).data(), Reply(12, std::vector<uint8_t>(24, 0)).size(),
                     5);
    rig.commander.ReadParameters();                          // k = 2
    ASSERT_TRUE(rig.commander.WriteParameters(GoodParameters()).sent);  // k + 1 = 3
    rig.commander.ReadMac();                                 // k + 3 = 5
    ASSERT_EQ(rig.transport.frames.size(), 4u);
    EXPECT_EQ(rig.SequenceOf(1), 2);
    EXPECT_EQ(rig.SequenceOf(2), 3);
    EXPECT_EQ(rig.SequenceOf(3), 5);
    // Opening again starts from 1.
    rig.commander.ResetSequence();
    rig.commander.ReadMac();
    EXPECT_EQ(rig.SequenceOf(4), 1);
}

TEST(ReplyIntake, DecodesEachKnownCount)
{
    SensorSettingsCache cache;
    // Parameter block: range 2, high-pass 5, low-pass -2.
    std::vector<uint8_t> block(24, 0);
    block[2] = 2;
    block[16] = 5;
    block[20] = 0xFE, block[21] = 0xFF, block[22] = 0xFF, block[23] = 0xFF;
    auto r = Reply(12, block);
    ReplyOutcome o = cache.Intake(0, r.data(), r.size(), 9);
    EXPECT_TRUE(o.read && o.refresh);
    EXPECT_EQ(cache.Entry(0).Parameters().measuringRange, 2);
    EXPECT_EQ(cache.Entry(0).Parameters().highPassHz, 5);
    EXPECT_EQ(cache.Entry(0).Parameters().lowPassHz, -2);
    EXPECT_EQ(cache.Entry(0).parameterBlockGeneration, 9u);

    std::vector<uint8_t> comm = {0xC0, 0xA8, 0x01, 0x14, 255, 255, 255, 0, 192, 168, 1, 1, 8, 8, 8, 8,
                                 0xF9, 0x55, 192, 168, 1, 100};
    r = Reply(11, comm);
    cache.Intake(1, r.data(), r.size(), 1);
    CommunicationSettings c = cache.Entry(1).Communication();
    EXPECT_EQ(FormatIpv4(c.deviceIp), "192.168.1.20");
    EXPECT_EQ(FormatIpv4(c.subnetMask), "255.255.255.0");
    EXPECT_EQ(FormatIpv4(c.dnsServer), "8.8.8.8");
    EXPECT_EQ(c.serverPort, 22009);
    EXPECT_EQ(FormatIpv4(c.serverIp), "192.168.1.100");

    std::vector<uint8_t> version = {3, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 'S', 'N', '1', '2', '3', '4', '5', '6'};
    r = Reply(8, version);
    cache.Intake(1, r.data(), r.size(), 1);
    EXPECT_EQ(cache.Entry(1).VersionText(), "3---1");
    EXPECT_STREQ(cache.Entry(1).deviceId, "SN123456");

    r = Reply(3, {1, 2, 3, 4, 5, 6});
    cache.Intake(1, r.data(), r.size(), 1);
    EXPECT_EQ(cache.Entry(1).mac[5], 6);

    // A count the station never asks for, and a reply cut short, change nothing.
    r = Reply(5, std::vector<uint8_t>(10, 0xAA));
    EXPECT_FALSE(cache.Intake(1, r.data(), r.size(), 1).refresh);
    r = Reply(12, std::vector<uint8_t>(10, 0xAA));
    cache.Intake(0, r.data(), r.size(), 10);
    EXPECT_EQ(cache.Entry(0).Parameters().measuringRange, 2);
    EXPECT_EQ(cache.Entry(0).parameterBlockGeneration, 9u);

    std::vector<uint8_t> ack = {'P', 'W', 'A', 'S', 8, 0, 0x2A, 0};
    o = cache.Intake(0, ack.data(), ack.size(), 1);
    EXPECT_TRUE(o.write);
    EXPECT_FALSE(o.refresh);
    EXPECT_EQ(o.sequence, 0x2A);
}

TEST(ReplyIntake, OneRegisterRepliesFollowThePendingRead)
{
    Rig rig;
    auto one = Reply(1, {0x34, 0x12});
    // No single-register read was ever sent: nothing stored, still a refresh.
    ReplyOutcome o = rig.cache.Intake(3, one.data(), one.size(), 5);
    EXPECT_TRUE(o.refresh);
    EXPECT_EQ(rig.cache.Entry(3).DeviceAddress(), 0);
    EXPECT_EQ(rig.cache.SamplingFrequencyMode(), 0);

    rig.commander.ReadDeviceAddress();
    rig.cache.Intake(3, one.data(), one.size(), 5);
    EXPECT_EQ(rig.cache.Entry(3).DeviceAddress(), 0x1234);
    EXPECT_EQ(rig.cache.SamplingFrequencyMode(), 0);

    rig.commander.ReadSamplingFrequencyMode();
    auto mode = Reply(1, {2, 0});
    rig.cache.Intake(3, mode.data(), mode.size(), 5);
    EXPECT_EQ(rig.cache.SamplingFrequencyMode(), 2);
    EXPECT_EQ(rig.cache.Entry(3).DeviceAddress(), 0x1234);
}

TEST(CommandRefusal, BadInputSendsNothingAndNamesTheField)
{
    Rig rig;
    // Every group answered, so that only the fields can be refused.
    auto filled = Reply(12, std::vector<uint8_t>(24, 0));
    rig.cache.Intake(3, filled.data(), filled.size(), 5);
    auto communication = Reply(11, std::vector<uint8_t>(22, 0));
    rig.cache.Intake(3, communication.data(), communication.size(), 5);
    rig.cache.SetPendingSingleRegister(kRegDeviceAddress);
    auto address = Reply(1, {7, 0});
    rig.cache.Intake(3, address.data(), address.size(), 5);
    auto expectRefused = [&](const CommandResult &r, const char *field) {
        EXPECT_FALSE(r.built);
        EXPECT_FALSE(r.sent);
        EXPECT_NE(r.message.find(field), std::string::npos) << r.message;
    };
    for (const char *port : {"0", "65536", "", "22x", "-1"}) {
        CommunicationInput in = GoodCommunication();
        in.serverPort = port;
        expectRefused(rig.commander.WriteCommunication(in), "端口");
    }
    CommunicationInput in = GoodCommunication();
    in.gatewayIp = "192.168.1";
    expectRefused(rig.commander.WriteCommunication(in), "网关IP");
    in = GoodCommunication();
    in.serverIp = "";
    expectRefused(rig.commander.WriteCommunication(in), "服务器IP");

    for (const char *address : {"0", "65536", "abc"})
        expectRefused(rig.commander.WriteDeviceAddress(address), "设备地址");
    std::array<std::string, 6> mac = {"1", "2", "3", "256", "5", "6"};
    expectRefused(rig.commander.WriteMac(mac), "MAC地址第4字节");
    expectRefused(rig.commander.WriteSamplingFrequencyMode("70000"), "采样频率模式");

    ParameterInput p = GoodParameters();
    p.measuringRange = 4;
    expectRefused(rig.commander.WriteParameters(p), "量程");
    p = GoodParameters();
    p.axisMode = -1;
    expectRefused(rig.commander.WriteParameters(p), "轴模式");
    p = GoodParameters();
    p.intervalTime = "65536";
    expectRefused(rig.commander.WriteParameters(p), "间隔时间(s)");
    p = GoodParameters();
    p.downsampling = "-1";
    expectRefused(rig.commander.WriteParameters(p), "降采样率(N)");
    p = GoodParameters();
    p.highPass = "5.5";
    expectRefused(rig.commander.WriteParameters(p), "高通fc[Hz]");
    p = GoodParameters();
    p.lowPass = "";
    expectRefused(rig.commander.WriteParameters(p), "低通fc{Hz]");

    EXPECT_TRUE(rig.transport.frames.empty());
    EXPECT_EQ(rig.commander.CommandSequence(), 0u);  // refusals use no number
    // The boundaries themselves pass.
    in = GoodCommunication();
    in.serverPort = "65535";
    EXPECT_TRUE(rig.commander.WriteCommunication(in).sent);
    EXPECT_TRUE(rig.commander.WriteDeviceAddress("65535").sent);
    EXPECT_TRUE(rig.commander.WriteMac({"0", "0", "0", "0", "0", "255"}).sent);
}

TEST(CommandRefusal, ParameterWriteNeedsAReadOfThisConnection)
{
    Rig rig;
    CommandResult r = rig.commander.WriteParameters(GoodParameters());
    EXPECT_FALSE(r.built);
    EXPECT_NE(r.message.find("读取"), std::string::npos);
    // A block read from the slot's previous sensor does not count.
    auto filled = Reply(12, std::vector<uint8_t>(24, 0));
    rig.cache.Intake(3, filled.data(), filled.size(), 4);
    EXPECT_FALSE(rig.commander.WriteParameters(GoodParameters()).built);
    rig.cache.Intake(3, filled.data(), filled.size(), 5);
    EXPECT_TRUE(rig.commander.WriteParameters(GoodParameters()).sent);
    ASSERT_EQ(rig.transport.frames.size(), 1u);
    EXPECT_EQ(rig.transport.frames[0].size(), 50u);
    EXPECT_EQ(rig.transport.frames[0][22 + 16], 5);  // high-pass 5 as 05 00 00 00
}

TEST(CommandRefusal, AddressWritesNeedAnAnswerSinceTheSensorWasChosen)
{
    // Regression: a reused dialog offered the previous sensor's IP address
    // for saving into a sensor that had not answered.
    Rig rig;
    auto communication = Reply(11, std::vector<uint8_t>(22, 0));
    auto address = Reply(1, {7, 0});
    auto parameters = Reply(12, std::vector<uint8_t>(24, 0));
    auto expectRefusedFor = [&](const CommandResult &r, const char *group) {
        EXPECT_FALSE(r.built);
        EXPECT_NE(r.message.find(group), std::string::npos) << r.message;
    };
    expectRefusedFor(rig.commander.WriteCommunication(GoodCommunication()), "“通信设置”");
    expectRefusedFor(rig.commander.WriteDeviceAddress("8"), "“设备地址设置”");
    EXPECT_TRUE(rig.transport.frames.empty());
    EXPECT_EQ(rig.commander.CommandSequence(), 0u);

    // The slot's previous connection answering does not count.
    rig.cache.Intake(3, communication.data(), communication.size(), 4);
    EXPECT_FALSE(rig.commander.Answered(SettingsGroup::Communication));
    EXPECT_FALSE(rig.commander.WriteCommunication(GoodCommunication()).built);
    // This connection answering does, group by group.
    rig.cache.Intake(3, communication.data(), communication.size(), 5);
    EXPECT_TRUE(rig.commander.WriteCommunication(GoodCommunication()).sent);
    EXPECT_FALSE(rig.commander.WriteDeviceAddress("8").built);
    rig.commander.ReadDeviceAddress();
    rig.cache.Intake(3, address.data(), address.size(), 5);
    EXPECT_TRUE(rig.commander.WriteDeviceAddress("8").sent);
    rig.cache.Intake(3, parameters.data(), parameters.size(), 5);
    EXPECT_TRUE(rig.commander.WriteParameters(GoodParameters()).sent);

    // Chosen again (the dialog opened again): earlier answers no longer count.
    rig.commander.SelectSlot(3);
    for (SettingsGroup g : {SettingsGroup::Communication, SettingsGroup::DeviceAddress, SettingsGroup::Parameters})
        EXPECT_FALSE(rig.commander.Answered(g));
    size_t sent = rig.transport.frames.size();
    EXPECT_FALSE(rig.commander.WriteCommunication(GoodCommunication()).built);
    EXPECT_FALSE(rig.commander.WriteDeviceAddress("8").built);
    EXPECT_FALSE(rig.commander.WriteParameters(GoodParameters()).built);
    EXPECT_EQ(rig.transport.frames.size(), sent);
    rig.cache.Intake(3, communication.data(), communication.size(), 5);
    EXPECT_TRUE(rig.commander.WriteCommunication(GoodCommunication()).sent);

    // Another slot's answer is no answer of the chosen one.
    rig.commander.SelectSlot(3);
    rig.cache.Intake(0, communication.data(), communication.size(), 5);
    EXPECT_FALSE(rig.commander.Answered(SettingsGroup::Communication));
}

TEST(CommandRefusal, LockCodesComeFromTheConfigurationFile)
{
    Rig rig;
    auto folder = std::filesystem::temp_directory_path() / ("tav_codes_" + std::to_string(::getpid()));
    std::filesystem::create_directories(folder);
    std::string path = (folder / "sensorcodes.conf").string();
    std::filesystem::remove(path);

    CommandResult r = rig.commander.Unlock(path);
    EXPECT_FALSE(r.built);
    EXPECT_NE(r.message.find("未配置解锁码"), std::string::npos);
    EXPECT_FALSE(rig.commander.Lock(path).built);
    EXPECT_TRUE(rig.transport.frames.empty());

    std::ofstream(path) << "# codes\nunlock=0x11223344\nlock = 4294967295\n";
    r = rig.commander.Unlock(path);
    ASSERT_TRUE(r.sent);
    std::vector<uint8_t> f = Bytes(r.frame);
    EXPECT_EQ(f.size(), 30u);
    EXPECT_EQ(f[16], 27);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 22, f.begin() + 26), (std::vector<uint8_t>{0x44, 0x33, 0x22, 0x11}));
    EXPECT_TRUE(rig.commander.Lock(path).sent);

    std::ofstream(path) << "unlock=0x1FFFFFFFF\n";  // does not fit 32 bits
    EXPECT_FALSE(rig.commander.Unlock(path).built);

    // A leading zero is decimal, never octal; signs and spaces inside are refused.
    std::ofstream(path) << "unlock=0123\nlock=0x 5\n";
    SensorCodes codes = LoadSensorCodes(path);
    ASSERT_TRUE(codes.unlock.has_value());
    EXPECT_EQ(*codes.unlock, 123u);
    EXPECT_FALSE(codes.lock.has_value());
    std::ofstream(path) << "unlock=0x-5\nlock=0x+5\n";
    codes = LoadSensorCodes(path);
    EXPECT_FALSE(codes.unlock.has_value());
    EXPECT_FALSE(codes.lock.has_value());
    std::filesystem::remove_all(folder);
}

TEST(CommandDelivery, WithoutASensorEveryCommandIsBuiltButNotSent)
{
    auto rigOwner = std::make_unique<Rig>(false);
    Rig &rig = *rigOwner;
    std::vector<CommandResult> results = {
        rig.commander.ReadCommunication(),  rig.commander.WriteCommunication(GoodCommunication()),
        rig.commander.ReadDeviceAddress(),  rig.commander.WriteDeviceAddress("7"),
        rig.commander.ReadParameters(),     rig.commander.WriteParameters(GoodParameters()),
        rig.commander.ReadVersionAndId(),   rig.commander.WriteDeviceId("AB"),
        rig.commander.ReadMac(),            rig.commander.WriteMac({"1", "2", "3", "4", "5", "6"}),
        rig.commander.ReadSamplingFrequencyMode(), rig.commander.WriteSamplingFrequencyMode("1"),
        rig.commander.StartAcquisition(),   rig.commander.StopAcquisition(),
        rig.commander.EnterUpgradeMode(),
    };
    for (const auto &r : results) {
        EXPECT_TRUE(r.built);
        EXPECT_FALSE(r.sent);
        EXPECT_NE(r.message.find("未发送"), std::string::npos);
        EXPECT_GE(r.frame.length, 24);
    }
    EXPECT_TRUE(rig.transport.frames.empty());

    // A sensor that took over the slot after it was chosen gets nothing.
    auto reusedOwner = std::make_unique<Rig>();
    Rig &reused = *reusedOwner;
    reused.table[3].generation = 6;
    CommandResult r = reused.commander.ReadMac();
    EXPECT_FALSE(r.sent);
    EXPECT_TRUE(reused.transport.frames.empty());
}

TEST(TextInput, IntegersAreWholeDecimalNumbers)
{
    EXPECT_EQ(ParseInteger(" 42 "), 42);
    EXPECT_EQ(ParseInteger("-7"), -7);
    EXPECT_EQ(ParseInteger("+7"), 7);
    for (const char *bad : {"", " ", "4 2", "1e3", "0x10", "12a", "-"})
        EXPECT_FALSE(ParseInteger(bad)) << bad;
    EXPECT_EQ(GbkToUtf8(Utf8ToGbk("设备AB")), "设备AB");
    EXPECT_EQ(Utf8ToGbk("设备").size(), 4u);
}
