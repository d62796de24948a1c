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

#include "net/ConnectionTable.h"
#include "steady/SteadyRecord.h"

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

    SteadyTable();
    ~SteadyTable();
    SteadyTable(const SteadyTable &) = delete;
    SteadyTable &operator=(const SteadyTable &) = delete;

    void SetDeviceParameterFn(DeviceParameterFn fn) { applyDeviceParameters_ = std::move(fn); }

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
};

}  // namespace tav
