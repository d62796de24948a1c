#pragma once
// What each slot's sensor last answered to the read commands, kept as the
// raw register bytes. Entries are never cleared; each group's answer carries
// the connection that gave it, so that a reused slot's old values are never
// taken for its new sensor's.
//
// Thread rule: window thread only (replies arrive there as posted events
// carrying a copy of the frame).
#include <cstddef>
#include <cstdint>
#include <string>

#include "core/config/CommandFrame.h"
#include "core/net/ConnectionTable.h"

namespace tav {

// The register groups that the read commands fetch. Each answer is stamped
// with the connection that gave it and a serial number, so that a window can
// tell what the chosen connection answered since it was chosen.
enum class SettingsGroup : int { Parameters, Communication, DeviceAddress, VersionAndId, Mac, SamplingMode };
constexpr int kSettingsGroupCount = 6;

struct SettingsAnswer {
    uint32_t generation = 0;  // connection generation that answered
    uint64_t serial = 0;      // the cache's answer counter then; 0 = never answered
};

struct SensorSettingsEntry {
    uint8_t parameterBlock[24] = {};      // registers 0..11
    uint8_t communicationBlock[22] = {};  // registers 15..25
    uint8_t deviceAddress[2] = {};        // register 26
    uint8_t version[8] = {};              // registers 27..30
    char deviceId[9] = {};                // registers 31..34, always zero-terminated
    uint8_t mac[6] = {};                  // registers 12..14
    // Connection generation whose parameter read filled the block, 0 when
    // none did: the block is written back whole, so a save is only allowed
    // with values that this very connection reported.
    uint32_t parameterBlockGeneration = 0;
    SettingsAnswer answers[kSettingsGroupCount];

    // True when connection `generation` answered the group's read after the
    // cache's counter stood at `since`.
    bool Answered(SettingsGroup group, uint32_t generation, uint64_t since) const
    {
        const SettingsAnswer &a = answers[int(group)];
        return a.serial > since && a.generation == generation;
    }

    uint16_t ParameterRegister(int reg) const;  // 0..11
    ParameterSettings Parameters() const;
    CommunicationSettings Communication() const;
    uint16_t DeviceAddress() const;
    int32_t VersionFirst() const;
    int32_t VersionSecond() const;
    std::string VersionText() const;  // "%d--%d"
};

// What a reply meant, for the window to echo and refresh.
struct ReplyOutcome {
    bool read = false;   // "PRAS"
    bool write = false;  // "PWAS"
    int registerCount = -1;
    bool refresh = false;  // a read of a known count: redraw the fields
    uint16_t sequence = 0; // "PWAS": the acknowledged command
};

class SensorSettingsCache {
public:
    // Decodes one reply of `slot` from the copy that came with its event.
    // `generation` is the slot's connection generation when the reply is
    // handled. Never reads past `length`; a reply too short for its register
    // count stores nothing.
    ReplyOutcome Intake(int slot, const uint8_t *data, size_t length, uint32_t generation);

    const SensorSettingsEntry &Entry(int slot) const { return entries_[slot]; }
    // Answers stored so far; a later answer carries a higher serial.
    uint64_t Serial() const { return serial_; }
    uint16_t SamplingFrequencyMode() const { return samplingFrequencyMode_; }
    uint16_t PendingSingleRegister() const { return pendingSingleRegister_; }
    // Called after a single-register read (26 or 36) was handed to the socket.
    void SetPendingSingleRegister(uint16_t reg) { pendingSingleRegister_ = reg; }

private:
    SensorSettingsEntry entries_[kSlotCount];
    uint16_t samplingFrequencyMode_ = 0;
    uint16_t pendingSingleRegister_ = 0;
    uint64_t serial_ = 0;
};

}  // namespace tav
