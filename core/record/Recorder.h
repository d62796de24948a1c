#pragma once
// Transient recording: the acquisition state machine (start, pause, stop),
// the recording step that appends each conditioned block to the recordings,
// the global recording buffer that replay reads, loading .vdat files into
// it, and starting the save.
//
// Threads: RecordBlock runs on the parser threads (and on the window thread
// during replay, where it does nothing); everything else on the window
// thread. The save runs on the TransientSaver's thread.
#include <atomic>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>

#include "core/net/BlockConsumer.h"
#include "core/net/ConnectionTable.h"
#include "core/net/EventSink.h"
#include "core/record/TransientSaver.h"

namespace tav {

// Shown when a save or a recording is asked for while a save runs.
extern const char *const kSavingMessage;

struct LoadResult {
    bool ok = false;
    std::string message;       // for the operator; empty when there is nothing to say
    std::string totalText;     // edit 1090 ("%0.2f" seconds) when ok
    std::string replayedText;  // edit 1091 ("0.0") when ok
};

struct RecordingProgress {
    int percent = 0;      // track bar 1089
    std::string seconds;  // edit 1090; empty when no connection is selected
};

class Recorder : public RecordingSink {
public:
    // `dataFolder` is read at each save and must outlive the recorder.
    Recorder(ConnectionTable &table, EventSink &sink, const std::string &dataFolder);
    ~Recorder() override;  // waits for a running save
    Recorder(const Recorder &) = delete;
    Recorder &operator=(const Recorder &) = delete;

    // Parser thread of rec's slot, with rec.conditionMutex held.
    void RecordBlock(ConnectionRecord &rec, const uint8_t *data, uint32_t bytes) override;

    // Window thread. Refused (false, with the reason in *message when there
    // is one for the operator) while a save runs or acquisition is not idle.
    bool StartRecording(std::string *message);
    // Window thread. Returns the new state: true = paused ("继续" on the button).
    bool TogglePause();
    // Window thread. Ends a recording or a replay; idempotent.
    void StopAcquisition();
    // Window thread. Stops acquisition and starts the save thread; refused
    // with kSavingMessage while a save runs.
    bool Save(std::string *message);
    // Window thread. Loads a .vdat file into the global buffer; a refused
    // file leaves the loaded data as they were.
    LoadResult Load(const std::string &path);
    // Window thread, on timer 3 while recording.
    RecordingProgress Progress() const;

    int AcquisitionState() const { return table_.acquisitionState.load(); }
    bool Paused() const { return paused_.load() != 0; }
    bool Saving() const { return saver_.Saving(); }
    TransientSaver &Saver() { return saver_; }
    ConnectionTable &Table() { return table_; }

    // The global buffer, for replay on the window thread: written only while
    // recording or loading, so stable while acquisition is idle or replaying.
    const uint8_t *GlobalData() const { return global_; }
    uint32_t RecordedLength() const { return recordedLength_.load(); }
    std::atomic<uint32_t> &GlobalPosition() { return globalPosition_; }

    // Tests: the clock that names saved files.
    void SetClock(std::function<std::time_t()> clock) { clock_ = std::move(clock); }

private:
    ConnectionTable &table_;
    const std::string &dataFolder_;
    std::function<std::time_t()> clock_;

    std::atomic<int> paused_{0};
    // Serialises appends to the global buffer: its writer follows the
    // selected connection, so two parser threads may meet there for one
    // block when the selection changes.
    std::mutex globalMutex_;
    uint8_t *global_ = nullptr;
    std::atomic<uint32_t> globalPosition_{0};
    std::atomic<uint32_t> recordedLength_{0};

    TransientSaver saver_;
};

}  // namespace tav
