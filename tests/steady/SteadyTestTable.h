#pragma once
// A connection table filled by hand, in place of sockets and parser threads.
#include <memory>

#include "core/net/ConnectionTable.h"

namespace tav::test {

struct HandTable {
    std::unique_ptr<ConnectionTable> table = std::make_unique<ConnectionTable>();

    ConnectionRecord &operator[](int slot) { return table->records[slot]; }

    // As an accept followed by the first packet: a new generation with a known address.
    void Connect(int slot, uint32_t address)
    {
        ConnectionRecord &rec = table->records[slot];
        rec.generation.fetch_add(1);
        rec.sensorAddress = address;
        rec.inUse = 1;
    }
    // As the end of a receive thread; returns the generation its release event carries.
    uint32_t Disconnect(int slot)
    {
        ConnectionRecord &rec = table->records[slot];
        rec.inUse = 0;
        return rec.generation.load();
    }
    // Every statistic of the slot becomes `base` plus a per-field offset, so
    // that a value shows which field it came from.
    void SetStats(int slot, double base, float rpm = 1500.0f)
    {
        ConnectionRecord &rec = table->records[slot];
        std::lock_guard lock(rec.cond.statsMutex);
        for (int q = 0; q < 3; ++q)
            for (int a = 0; a < 3; ++a) {
                rec.cond.stats.rms[q][a] = base + 10 * q + a;
                rec.cond.stats.peak[q][a] = base + 100 + 10 * q + a;
            }
        for (int a = 0; a < 3; ++a)
            rec.cond.stats.kurtosis[a] = base + 1000 + a;
        rec.cond.stats.windows += 1;  // measured, not the nothing-yet of a new connection
        rec.measuredSpeed = rpm;
        rec.speedEstimates = 1;
    }
};

}  // namespace tav::test
