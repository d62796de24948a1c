#pragma once
// Every register command that the parameter dialog sends: checks what the
// operator typed, builds the frame with the next sequence number and hands it
// to the selected slot's connection. The dialog only gathers its fields and
// shows the results.
//
// Thread rule: window thread only.
#include <array>
#include <cstdint>
#include <string>

#include "core/config/CommandFrame.h"
#include "core/config/SensorSettingsCache.h"
#include "core/net/ConnectionTable.h"

namespace tav {

class Server;

// Where frames go. The station's server in operation, a recorder in tests.
class CommandTransport {
public:
    virtual ~CommandTransport() = default;
    // Sends all bytes on the slot's connection of `generation`. Returns the
    // bytes sent, or -1 with a reason in *error.
    virtual long Send(int slot, const uint8_t *data, size_t length, std::string *error, uint32_t generation) = 0;
};

class ServerTransport : public CommandTransport {
public:
    explicit ServerTransport(Server &server) : server_(server) {}
    long Send(int slot, const uint8_t *data, size_t length, std::string *error, uint32_t generation) override;

private:
    Server &server_;
};

struct CommandResult {
    bool built = false;  // false: refused before sending; `message` names the field
    CommandFrame frame;
    bool sent = false;
    std::string message;  // the refusal, or why a built frame was not sent
};

// The texts of the "通信设置" fields.
struct CommunicationInput {
    std::string deviceIp, subnetMask, gatewayIp, dnsServer, serverPort, serverIp;
};

// The "传感器参数设置" fields: three selections and six texts.
struct ParameterInput {
    int measuringRange = 0, axisMode = 0, sensorMode = 0;
    std::string acquisitionTime, unlabeledTime, intervalTime, downsampling, highPass, lowPass;
};

class SensorCommander {
public:
    SensorCommander(ConnectionTable &table, SensorSettingsCache &cache, CommandTransport &transport);

    // Dialog opened: the sequence starts again from 0.
    void ResetSequence() { commandSequence_ = 0; }
    uint32_t CommandSequence() const { return commandSequence_; }

    // Commands go to `slot` (-1 = none) as long as it holds the connection it
    // holds now; a sensor that later takes over the slot gets nothing meant
    // for its predecessor. Choosing (again) also starts over what counts as
    // answered: only replies that arrive from now on.
    void SelectSlot(int slot);
    // True when the chosen connection answered the group's read since it was
    // chosen.
    bool Answered(SettingsGroup group) const;
    int SelectedSlot() const { return slot_; }
    uint32_t SelectedGeneration() const { return generation_; }

    // The three writes below are refused while the chosen connection has not
    // answered the group's read since it was chosen: the boxes would
    // otherwise hold what another sensor (or nobody) reported, and a second
    // device with one IP address or one sensor address is lost to the network.
    CommandResult ReadCommunication();
    CommandResult WriteCommunication(const CommunicationInput &in);
    CommandResult ReadDeviceAddress();
    CommandResult WriteDeviceAddress(const std::string &text);
    CommandResult ReadParameters();
    // The block is written whole, so unread registers would be sent too.
    CommandResult WriteParameters(const ParameterInput &in);
    CommandResult ReadVersionAndId();
    CommandResult WriteDeviceId(const std::string &utf8Text);
    CommandResult ReadMac();
    CommandResult WriteMac(const std::array<std::string, 6> &boxes);
    CommandResult ReadSamplingFrequencyMode();
    CommandResult WriteSamplingFrequencyMode(const std::string &text);
    // Codes from sensorcodes.conf at `codesPath`, read at each press.
    CommandResult Unlock(const std::string &codesPath);
    CommandResult Lock(const std::string &codesPath);
    CommandResult StartAcquisition();
    CommandResult StopAcquisition();
    CommandResult EnterUpgradeMode();

private:
    uint16_t NextSequence() { return uint16_t(++commandSequence_); }
    uint16_t SensorAddress() const;
    CommandResult Read(uint16_t firstRegister, uint16_t count);
    CommandResult WriteSingle(uint16_t reg, uint16_t value);
    CommandResult WriteBlock(uint16_t firstRegister, const uint8_t *payload, int count);
    CommandResult WriteCode(const std::string &codesPath, bool unlock);
    void Deliver(CommandResult &result);
    bool Connected() const;

    ConnectionTable &table_;
    SensorSettingsCache &cache_;
    CommandTransport &transport_;
    int slot_ = -1;
    uint32_t generation_ = 0;
    uint64_t answersBefore_ = 0;  // the cache's answer serial when the slot was chosen
    uint32_t commandSequence_ = 0;
};

// The refusal every rejected input produces: "<field>…，命令未发送".
CommandResult Refused(const std::string &message);

}  // namespace tav
