#pragma once
// Replay of the global recording buffer through the live conditioning, as
// if the packets came from the selected connection, one step per tick of
// timer 3 (94 ms). Window thread only.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/record/Recorder.h"

namespace tav {

constexpr int kReplayTickMs = 94;
constexpr int kRecordingTickMs = 100;

// What one tick asks the window to show.
struct ReplayTick {
    bool stepped = false;      // a step was conditioned; the fields below are set
    bool stopped = false;      // the data were used up and acquisition stopped
    int percent = 0;           // track bar 1089
    std::string replayedText;  // edit 1091
    std::string totalText;     // edit 1090
    // Non-empty when nothing was selected and slot 0 was taken for the
    // replay: the line to add to (and select in) the connection list 1001.
    std::string listLine;
};

// Packets per replay step for real-time pace at `fs`: the packets that
// arrive in one 94 ms tick, rounded, 1..140 (22 at 26667 Hz).
int ReplayStepPackets(float fs);

class Replayer {
public:
    // `consumer` conditions the replayed blocks; it may be set later.
    Replayer(Recorder &recorder, BlockConsumer *consumer = nullptr);
    void SetConsumer(BlockConsumer *consumer) { consumer_ = consumer; }
    // Sets a slot's speed band from the device record of the slot's sensor
    // address; a replay uses it so that the speed shown is that of the
    // replayed machine, not of the sensor whose slot it runs on.
    void SetSpeedBandFn(std::function<void(ConnectionRecord &)> fn) { speedBandFn_ = std::move(fn); }

    // Enters replay (state 2) from idle; false in any other state.
    bool Start();
    // Timer 3 while replaying.
    ReplayTick Tick();
    // Track bar moved to `percent`: while replay is paused, continue from
    // the start of the packet at that share of the recording.
    void Reposition(int percent);
    int StepPackets() const { return stepPackets_; }
    // The sensor address of the data being replayed (of the first packet);
    // 0 without data.
    uint32_t FileAddress() const { return fileAddress_; }
    // The replay has ended (stopped, used up, or ended by a load or a
    // recording): the slot it ran on gets back its sensor's address and
    // speed band, unless another connection has taken the slot meanwhile.
    // Does nothing when no replay ran since the last call.
    void Finish();

private:
    Recorder &recorder_;
    ConnectionTable &table_;
    BlockConsumer *consumer_;
    int stepPackets_ = 22;
    float fileFs_ = 0;
    uint32_t fileAddress_ = 0;
    std::function<void(ConnectionRecord &)> speedBandFn_;
    // The slot the replay runs on and what it had before, restored by Finish.
    struct Borrowed {
        int slot = -1;
        uint32_t generation = 0;
        uint32_t address = 0;
        float ratedSpeed = 0, ratedFrequency = 0, upper = 0, lower = 0, speed = 0;
        int speedFromRecord = 0;
    } borrowed_;
    void Borrow(ConnectionRecord &rec, int slot);
    // Replayed packets are copied here, never into the slot's block buffer,
    // which belongs to the slot's parser thread.
    std::unique_ptr<uint8_t[]> block_;
};

}  // namespace tav
