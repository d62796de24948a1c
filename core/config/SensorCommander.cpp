#include "core/config/SensorCommander.h"

#include "core/base/TextInput.h"
#include "core/config/SensorCodes.h"
#include "core/net/Server.h"

namespace tav {

namespace {

const char *const kNotSent = "，命令未发送";

// The value of an integer field within [lo, hi], or a refusal naming it.
bool Field(const std::string &text, const char *name, int64_t lo, int64_t hi, int64_t *value, CommandResult *refusal)
{
    auto v = ParseInteger(text);
    if (v && *v >= lo && *v <= hi) {
        *value = *v;
        return true;
    }
    *refusal = Refused("“" + std::string(name) + "”必须是 " + std::to_string(lo) + " 到 " + std::to_string(hi) +
                       " 之间的整数");
    return false;
}

bool Address(const std::string &text, const char *name, uint32_t *value, CommandResult *refusal)
{
    auto v = ParseIpv4(text);
    if (v) {
        *value = *v;
        return true;
    }
    *refusal = Refused("“" + std::string(name) + "”不是完整的IPv4地址（例如 192.168.1.20）");
    return false;
}

bool Selection(int value, const char *name, CommandResult *refusal)
{
    if (value >= 0 && value <= 3)
        return true;
    *refusal = Refused("“" + std::string(name) + "”的选择必须是 0 到 3");
    return false;
}

}  // namespace

CommandResult Refused(const std::string &message)
{
    CommandResult r;
    r.message = message + kNotSent;
    return r;
}

long ServerTransport::Send(int slot, const uint8_t *data, size_t length, std::string *error, uint32_t generation)
{
    return server_.Send(slot, data, length, error, generation);
}

SensorCommander::SensorCommander(ConnectionTable &table, SensorSettingsCache &cache, CommandTransport &transport)
    : table_(table), cache_(cache), transport_(transport)
{
}

void SensorCommander::SelectSlot(int slot)
{
    slot_ = slot >= 0 && slot < kSlotCount ? slot : -1;
    generation_ = slot_ >= 0 ? table_[slot_].generation.load() : 0;
    answersBefore_ = cache_.Serial();
}

bool SensorCommander::Answered(SettingsGroup group) const
{
    return slot_ >= 0 && cache_.Entry(slot_).Answered(group, generation_, answersBefore_);
}

uint16_t SensorCommander::SensorAddress() const
{
    return slot_ >= 0 ? uint16_t(table_[slot_].sensorAddress.load()) : 0;
}

bool SensorCommander::Connected() const
{
    return slot_ >= 0 && table_.onlineCount.load() > 0 && table_[slot_].InUse() &&
           table_[slot_].generation.load() == generation_;
}

void SensorCommander::Deliver(CommandResult &r)
{
    r.built = true;
    if (slot_ < 0) {
        r.message = "未发送：未选择传感器";
        return;
    }
    if (table_.onlineCount.load() <= 0 || !table_[slot_].InUse()) {
        r.message = "未发送：传感器未连接";
        return;
    }
    if (table_[slot_].generation.load() != generation_) {
        r.message = "未发送：该连接已断开，槽位已被其他传感器使用，请重新选择传感器";
        return;
    }
    std::string error;
    long n = transport_.Send(slot_, r.frame.bytes, r.frame.length, &error, generation_);
    if (n == long(r.frame.length)) {
        r.sent = true;
    } else {
        r.message = "未发送：" + (error.empty() ? std::string("发送失败") : error);
    }
}

CommandResult SensorCommander::Read(uint16_t firstRegister, uint16_t count)
{
    CommandResult r;
    r.frame = CommandFrame::ReadRequest(NextSequence(), SensorAddress(), firstRegister, count);
    Deliver(r);
    return r;
}

CommandResult SensorCommander::WriteSingle(uint16_t reg, uint16_t value)
{
    CommandResult r;
    r.frame = CommandFrame::WriteSingleRequest(NextSequence(), SensorAddress(), reg, value);
    Deliver(r);
    return r;
}

CommandResult SensorCommander::WriteBlock(uint16_t firstRegister, const uint8_t *payload, int count)
{
    CommandResult r;
    r.frame = CommandFrame::WriteBlockRequest(NextSequence(), SensorAddress(), firstRegister, payload, count);
    Deliver(r);
    return r;
}

CommandResult SensorCommander::ReadCommunication()
{
    return Read(kRegDeviceIp, kCommunicationBlockRegisters);
}

CommandResult SensorCommander::WriteCommunication(const CommunicationInput &in)
{
    if (Connected() && !Answered(SettingsGroup::Communication))
        return Refused("尚未读取该传感器的通信设置，请先点击“通信设置”中的“读取”");
    CommunicationSettings s;
    CommandResult refusal;
    int64_t port = 0;
    if (!Address(in.deviceIp, "设备IP", &s.deviceIp, &refusal) ||
        !Address(in.subnetMask, "子网掩码", &s.subnetMask, &refusal) ||
        !Address(in.gatewayIp, "网关IP", &s.gatewayIp, &refusal) ||
        !Address(in.dnsServer, "DNS", &s.dnsServer, &refusal) ||
        !Field(in.serverPort, "端口", 1, 65535, &port, &refusal) ||
        !Address(in.serverIp, "服务器IP", &s.serverIp, &refusal))
        return refusal;
    s.serverPort = uint16_t(port);
    uint8_t payload[22];
    PutCommunicationBlock(payload, s);
    return WriteBlock(kRegDeviceIp, payload, kCommunicationBlockRegisters);
}

CommandResult SensorCommander::ReadDeviceAddress()
{
    CommandResult r = Read(kRegDeviceAddress, 1);
    cache_.SetPendingSingleRegister(kRegDeviceAddress);
    return r;
}

CommandResult SensorCommander::WriteDeviceAddress(const std::string &text)
{
    if (Connected() && !Answered(SettingsGroup::DeviceAddress))
        return Refused("尚未读取该传感器的设备地址，请先点击“设备地址设置”中的“读取”");
    CommandResult refusal;
    int64_t v = 0;
    if (!Field(text, "设备地址", 1, 65535, &v, &refusal))
        return refusal;
    return WriteSingle(kRegDeviceAddress, uint16_t(v));
}

CommandResult SensorCommander::ReadParameters() { return Read(kRegCommand, kParameterBlockRegisters); }

CommandResult SensorCommander::WriteParameters(const ParameterInput &in)
{
    // A connected sensor gets the block only with registers it reported
    // itself; without a sensor the frame is only shown, never sent.
    if (Connected() && !Answered(SettingsGroup::Parameters))
        return Refused("尚未读取该传感器的参数，请先点击“传感器参数设置”中的“读取”");
    CommandResult refusal;
    ParameterSettings s;
    int64_t t[4] = {}, hp = 0, lp = 0;
    if (!Selection(in.measuringRange, "量程", &refusal) || !Selection(in.axisMode, "轴模式", &refusal) ||
        !Selection(in.sensorMode, "模式", &refusal) ||
        !Field(in.acquisitionTime, "采集时间(s)", 0, 65535, &t[0], &refusal) ||
        !Field(in.unlabeledTime, "无标题时间", 0, 65535, &t[1], &refusal) ||
        !Field(in.intervalTime, "间隔时间(s)", 0, 65535, &t[2], &refusal) ||
        !Field(in.downsampling, "降采样率(N)", 0, 65535, &t[3], &refusal) ||
        !Field(in.highPass, "高通fc[Hz]", INT32_MIN, INT32_MAX, &hp, &refusal) ||
        !Field(in.lowPass, "低通fc{Hz]", INT32_MIN, INT32_MAX, &lp, &refusal))
        return refusal;
    s.measuringRange = uint16_t(in.measuringRange);
    s.axisMode = uint16_t(in.axisMode);
    s.sensorMode = uint16_t(in.sensorMode);
    s.acquisitionTime = uint16_t(t[0]);
    s.unlabeledTime = uint16_t(t[1]);
    s.intervalTime = uint16_t(t[2]);
    s.downsampling = uint16_t(t[3]);
    s.highPassHz = int32_t(hp);
    s.lowPassHz = int32_t(lp);
    uint8_t payload[24];
    PutParameterBlock(payload, s);
    CommandResult r = WriteBlock(kRegCommand, payload, kParameterBlockRegisters);
    // The sensors expect the command after a parameter write two numbers on.
    ++commandSequence_;
    return r;
}

CommandResult SensorCommander::ReadVersionAndId() { return Read(kRegVersion, kVersionAndIdRegisters); }

CommandResult SensorCommander::WriteDeviceId(const std::string &utf8Text)
{
    uint8_t payload[8];
    PutDeviceId(payload, Utf8ToGbk(utf8Text));
    return WriteBlock(kRegDeviceId, payload, 4);
}

CommandResult SensorCommander::ReadMac() { return Read(kRegMac, kMacRegisters); }

CommandResult SensorCommander::WriteMac(const std::array<std::string, 6> &boxes)
{
    uint8_t mac[6];
    for (int i = 0; i < 6; ++i) {
        CommandResult refusal;
        int64_t v = 0;
        std::string name = "MAC地址第" + std::to_string(i + 1) + "字节";
        if (!Field(boxes[size_t(i)], name.c_str(), 0, 255, &v, &refusal))
            return refusal;
        mac[i] = uint8_t(v);
    }
    uint8_t payload[6];
    PutMac(payload, mac);
    return WriteBlock(kRegMac, payload, kMacRegisters);
}

CommandResult SensorCommander::ReadSamplingFrequencyMode()
{
    CommandResult r = Read(kRegSamplingFrequencyMode, 1);
    cache_.SetPendingSingleRegister(kRegSamplingFrequencyMode);
    return r;
}

CommandResult SensorCommander::WriteSamplingFrequencyMode(const std::string &text)
{
    CommandResult refusal;
    int64_t v = 0;
    if (!Field(text, "采样频率模式", 0, 65535, &v, &refusal))
        return refusal;
    return WriteSingle(kRegSamplingFrequencyMode, uint16_t(v));
}

CommandResult SensorCommander::WriteCode(const std::string &codesPath, bool unlock)
{
    SensorCodes codes = LoadSensorCodes(codesPath);
    const auto &code = unlock ? codes.unlock : codes.lock;
    if (!code)
        return Refused(std::string("未配置") + (unlock ? "解锁码" : "加锁码") + "（请在 " + codesPath + " 中写入 " +
                       (unlock ? "unlock" : "lock") + "=0x…）");
    uint8_t payload[4];
    PutLockCode(payload, *code);
    return WriteBlock(kRegLockCode, payload, 2);
}

CommandResult SensorCommander::Unlock(const std::string &codesPath) { return WriteCode(codesPath, true); }
CommandResult SensorCommander::Lock(const std::string &codesPath) { return WriteCode(codesPath, false); }

CommandResult SensorCommander::StartAcquisition() { return WriteSingle(kRegCommand, kCommandStartAcquisition); }
CommandResult SensorCommander::StopAcquisition() { return WriteSingle(kRegCommand, kCommandStopAcquisition); }
CommandResult SensorCommander::EnterUpgradeMode() { return WriteSingle(kRegCommand, kCommandEnterUpgradeMode); }

}  // namespace tav
