#pragma once
// The steady-state table: 40 records, one per sensor address, bound to
// connections by the 500 ms tick.
//
// Thread rule: every function here runs on the window thread. Worker threads
// never touch the table; a connection's end reaches it as a posted
// kConnectionReleasedEvent that the window hands to Release().
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/model/SteadyRecord.h"
#include "core/net/ConnectionTable.h"

namespace tav {

// What the tick asks of the CSV log (implemented by SteadyLog).
class SteadyRowSink {
public:
    virtual ~SteadyRowSink() = default;
    // The record's values of this tick are stored; its writeIndex has not moved yet.
    virtual void WriteRow(int recordIndex) = 0;
    // The record now belongs to another address: its file must not receive the newcomer's rows.
    virtual void RecordTakenOver(int recordIndex) = 0;
    // End of a tick: operator messages gathered during it, if any.
    virtual void EndTick(std::vector<std::string> *messages) = 0;
};

class SteadyTable {
public:
    // Sets a connection's speed band from the device table; may be empty.
    using DeviceParameterFn = std::function<void(ConnectionRecord &)>;
    // A record was given to an address it did not hold (not a reconnection
    // into the sensor's own record); bindTick is TickCount() of that tick.
    using BindObserver = std::function<void(int record, int32_t address, uint64_t bindTick)>;

    SteadyTable();
    ~SteadyTable();
    SteadyTable(const SteadyTable &) = delete;
    SteadyTable &operator=(const SteadyTable &) = delete;

    void SetDeviceParameterFn(DeviceParameterFn fn) { applyDeviceParameters_ = std::move(fn); }
    void SetBindObserver(BindObserver fn) { bindObserver_ = std::move(fn); }

    // Ticks so far; the first tick is 1.
    uint64_t TickCount() const { return tickCount_; }

    // Fills the record's rings from before its binding at `bindTick`:
    // byAge[series][a] is the entry a ticks before the binding's first one.
    // Entries written since the binding stay; a record that has meanwhile
    // gone to another address is left alone.
    void ApplyRefill(int record, int32_t address, uint64_t bindTick, const float (*byAge)[kSteadyHistoryLength]);

    // One 500 ms tick: binds connections with a known address, stores their
    // statistics and speed, lets `log` (may be null) write rows, and ages
    // every record by one entry. Returns texts for the operator, usually none.
    std::vector<std::string> Tick(ConnectionTable &table, SteadyRowSink *log = nullptr);

    // The connection `generation` of `slot` has ended. A release for an older
    // connection of the slot than the bound one is ignored.
    void Release(int slot, uint32_t generation);

    // Record bound to the slot's current connection, or -1.
    int BoundRecord(const ConnectionTable &table, int slot) const;

    const SteadyRecord &Record(int index) const { return records_[index]; }
    SteadyRecord &Record(int index) { return records_[index]; }

private:
    struct Binding {
        int record = -1;
        uint32_t generation = 0;
        // The duplicate-address message was shown for this connection.
        bool duplicateNotified = false;
        uint32_t duplicateGeneration = 0;
    };
    enum class BindResult { kBound, kDuplicate, kNoneFree };

    BindResult Bind(int slot, int32_t address, uint32_t generation, SteadyRowSink *log);
    void ReleaseBinding(int slot);
    static void Advance(SteadyRecord &record);

    std::unique_ptr<SteadyRecord[]> records_;  // about 25 MB, allocated once
    Binding bindings_[kSlotCount];
    DeviceParameterFn applyDeviceParameters_;
    BindObserver bindObserver_;
    uint64_t tickCount_ = 0;
};

}  // namespace tav
