#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "core/steady/SteadyTable.h"
#include "tests/steady/SteadyTestTable.h"

namespace tav {
namespace {

using test::HandTable;

// The record that holds `address`, or -1.
int FindRecord(const SteadyTable &steady, int address)
{
    for (int i = 0; i < kSteadyRecordCount; ++i)
        if (steady.Record(i).address == address)
            return i;
    return -1;
}

float Entry(const SteadyRecord &r, int series, int index) { return r.Ring(series)[index]; }

TEST(SteadyTable, RecordOutlivesItsConnectionAndContinuesAfterReconnect)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    t.Connect(0, 5);
    t.SetStats(0, 1.0, 1500.0f);
    for (int i = 0; i < 10; ++i)
        EXPECT_TRUE(steady->Tick(*t.table).empty());

    const int ri = FindRecord(*steady, 5);
    ASSERT_EQ(ri, 0);
    const SteadyRecord &r = steady->Record(ri);
    EXPECT_EQ(r.inUse, 1);
    EXPECT_EQ(r.writeIndex, 10);
    // Field mapping: AR/AP/VR/VP/DR/DP from rms/peak, AK from the kurtosis.
    EXPECT_FLOAT_EQ(r.current[kSteadyAR][1], 1.0f + 1);
    EXPECT_FLOAT_EQ(r.current[kSteadyAP][2], 101.0f + 2);
    EXPECT_FLOAT_EQ(r.current[kSteadyAK][0], 1001.0f);
    EXPECT_FLOAT_EQ(r.current[kSteadyVR][0], 11.0f);
    EXPECT_FLOAT_EQ(r.current[kSteadyVP][1], 112.0f);
    EXPECT_FLOAT_EQ(r.current[kSteadyDR][2], 23.0f);
    EXPECT_FLOAT_EQ(r.current[kSteadyDP][0], 121.0f);
    EXPECT_FLOAT_EQ(r.currentRpm, 1500.0f);
    EXPECT_FLOAT_EQ(Entry(r, 0, 9), 1.0f);
    EXPECT_FLOAT_EQ(Entry(r, kSpeedSeries, 9), 1500.0f);

    steady->Release(0, t.Disconnect(0));
    for (int i = 0; i < 3; ++i)
        steady->Tick(*t.table);
    EXPECT_EQ(r.address, 5);
    EXPECT_EQ(r.inUse, 0);
    EXPECT_EQ(r.writeIndex, 13);
    for (int s = 0; s < kSteadySeriesCount; ++s) {
        EXPECT_EQ(r.Current(s), 0.0f) << s;
        for (int i = 10; i < 13; ++i)
            EXPECT_EQ(Entry(r, s, i), 0.0f) << s;
    }

    // Back in another slot: same record, the older values kept, the gap zeros.
    t.Connect(7, 5);
    t.SetStats(7, 2.0, 3000.0f);
    steady->Tick(*t.table);
    EXPECT_EQ(FindRecord(*steady, 5), ri);
    EXPECT_EQ(steady->BoundRecord(*t.table, 7), ri);
    EXPECT_EQ(r.inUse, 1);
    EXPECT_FLOAT_EQ(Entry(r, 0, 0), 1.0f);
    EXPECT_FLOAT_EQ(Entry(r, 0, 12), 0.0f);
    EXPECT_FLOAT_EQ(Entry(r, 0, 13), 2.0f);
    EXPECT_FLOAT_EQ(Entry(r, kSpeedSeries, 13), 3000.0f);

    // Never-bound records aged alongside with zeros.
    EXPECT_EQ(steady->Record(1).writeIndex, 14);
    EXPECT_EQ(steady->Record(1).address, 0);
}

TEST(SteadyTable, HourOfTicksWrapsTheIndexAndOverwritesTheOldest)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    t.Connect(0, 3);
    t.SetStats(0, 1.0);
    for (int i = 0; i < kSteadyHistoryLength - 1; ++i)
        steady->Tick(*t.table);
    const SteadyRecord &r = steady->Record(0);
    EXPECT_EQ(r.writeIndex, kSteadyHistoryLength - 1);
    t.SetStats(0, 2.0);
    steady->Tick(*t.table);
    EXPECT_EQ(r.writeIndex, 0);
    EXPECT_FLOAT_EQ(Entry(r, 0, kSteadyHistoryLength - 1), 2.0f);
    t.SetStats(0, 3.0);
    steady->Tick(*t.table);
    EXPECT_EQ(r.writeIndex, 1);
    EXPECT_FLOAT_EQ(Entry(r, 0, 0), 3.0f);

    // Time order: oldest first, the newest last.
    std::vector<float> ordered(kSteadyHistoryLength);
    CopyRingInTimeOrder(r, 0, ordered.data());
    EXPECT_FLOAT_EQ(ordered[kSteadyHistoryLength - 1], 3.0f);
    EXPECT_FLOAT_EQ(ordered[kSteadyHistoryLength - 2], 2.0f);
    EXPECT_FLOAT_EQ(ordered[0], 1.0f);
}

TEST(SteadyTable, DuplicateAddressIsReportedOnceAndKeptOutOfTheRecord)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    t.Connect(0, 7);
    t.SetStats(0, 1.0);
    t.Connect(1, 7);
    t.SetStats(1, 50.0);
    std::vector<std::string> all;
    for (int i = 0; i < 5; ++i)
        for (auto &m : steady->Tick(*t.table))
            all.push_back(m);
    ASSERT_EQ(all.size(), 1u);
    EXPECT_EQ(all[0], "传感器地址7已存在，重复的地址将导致稳态数据显示不正常");
    const SteadyRecord &r = steady->Record(0);
    EXPECT_EQ(r.writeIndex, 5);  // one entry per tick, not two
    for (int i = 0; i < 5; ++i)
        EXPECT_FLOAT_EQ(Entry(r, 0, i), 1.0f);
    EXPECT_EQ(steady->BoundRecord(*t.table, 1), -1);
    EXPECT_EQ(FindRecord(*steady, 0), 1);  // the duplicate took no other record

    // The first leaves: the second binds silently on the next tick.
    t.Disconnect(0);  // its release event has not arrived yet
    EXPECT_TRUE(steady->Tick(*t.table).empty());
    EXPECT_EQ(steady->BoundRecord(*t.table, 1), 0);
    EXPECT_FLOAT_EQ(r.current[kSteadyAR][0], 50.0f);
    EXPECT_EQ(r.writeIndex, 6);
    steady->Release(0, t[0].generation.load());  // late: changes nothing
    EXPECT_EQ(r.inUse, 1);

    // A new connection with the same address in use is told again.
    t.Connect(0, 7);
    auto m = steady->Tick(*t.table);
    EXPECT_EQ(m.size(), 1u);
}

TEST(SteadyTable, FortyFirstAddressTakesOverTheFirstReleasedRecordCleared)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    std::vector<int> applied;
    steady->SetDeviceParameterFn([&](ConnectionRecord &rec) { applied.push_back(rec.slotIndex); });
    for (int s = 0; s < kSlotCount; ++s) {
        t.Connect(s, uint32_t(s + 1));
        t.SetStats(s, 1.0 + s);
    }
    for (int i = 0; i < 4; ++i)
        steady->Tick(*t.table);
    EXPECT_EQ(applied.size(), size_t(kSlotCount));  // once per bind attempt
    steady->Release(5, t.Disconnect(5));
    steady->Release(2, t.Disconnect(2));
    steady->Tick(*t.table);

    t.Connect(5, 41);
    t.SetStats(5, 77.0, 900.0f);
    EXPECT_TRUE(steady->Tick(*t.table).empty());
    const SteadyRecord &r = steady->Record(2);
    EXPECT_EQ(r.address, 41);
    EXPECT_EQ(steady->BoundRecord(*t.table, 5), 2);
    const int newest = (r.writeIndex + kSteadyHistoryLength - 1) % kSteadyHistoryLength;
    for (int s = 0; s < kSteadySeriesCount; ++s)
        for (int i = 0; i < kSteadyHistoryLength; ++i) {
            if (i != newest) {
                ASSERT_EQ(Entry(r, s, i), 0.0f) << "series " << s << " entry " << i;
            }
        }
    EXPECT_FLOAT_EQ(Entry(r, 0, newest), 77.0f);
    EXPECT_FLOAT_EQ(Entry(r, kSpeedSeries, newest), 900.0f);
    // The other released record keeps its sensor's history.
    EXPECT_EQ(steady->Record(5).address, 6);
    EXPECT_FLOAT_EQ(Entry(steady->Record(5), 0, 0), 6.0f);
}

TEST(SteadyTable, AllRecordsHeldLeavesNewcomerUnboundUntilOneFrees)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    for (int s = 0; s < kSlotCount; ++s)
        t.Connect(s, uint32_t(s + 1));
    steady->Tick(*t.table);
    // Slot 0's sensor is replaced by a new one before its release is handled:
    // the stale binding goes first, then the newcomer finds no never-bound
    // record and takes over the one just released.
    t.Disconnect(0);
    const uint32_t oldGeneration = t[0].generation.load();
    t.Connect(0, 99);
    EXPECT_TRUE(steady->Tick(*t.table).empty());
    EXPECT_EQ(steady->BoundRecord(*t.table, 0), 0);
    EXPECT_EQ(steady->Record(0).address, 99);
    steady->Release(0, oldGeneration);  // the old connection's late release
    EXPECT_EQ(steady->Record(0).inUse, 1);
    steady->Release(0, t[0].generation.load());
    EXPECT_EQ(steady->Record(0).inUse, 0);
    EXPECT_EQ(steady->BoundRecord(*t.table, 0), -1);
}

TEST(SteadyTable, SelectedConnectionIsNotBoundDuringRecordingOrReplay)
{
    for (int state : {1, 2}) {
        HandTable t;
        auto steady = std::make_unique<SteadyTable>();
        t.Connect(0, 4);  // bound before the acquisition: keeps its record
        steady->Tick(*t.table);
        t.table->acquisitionState = state;
        t.table->selectedConnection = 1;
        t.Connect(1, 5);
        t.Connect(2, 6);
        steady->Tick(*t.table);
        EXPECT_EQ(steady->BoundRecord(*t.table, 1), -1) << state;
        EXPECT_EQ(FindRecord(*steady, 5), -1) << state;
        EXPECT_GE(steady->BoundRecord(*t.table, 2), 0) << state;
        t.table->selectedConnection = 0;
        steady->Tick(*t.table);
        EXPECT_GE(steady->BoundRecord(*t.table, 0), 0) << state;
        EXPECT_GE(steady->BoundRecord(*t.table, 1), 0) << state;
        t.table->acquisitionState = 0;
    }
}

// Accepts, packets and ends of connections on worker threads while the window
// thread ticks and handles the posted releases, as in the running station.
TEST(SteadyTable, TickAndReleasesRaceFreeWithWorkers)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    std::mutex queueMutex;
    std::vector<std::pair<int, uint32_t>> released;
    std::atomic<bool> stop{false};
    std::vector<std::thread> workers;
    for (int w = 0; w < 2; ++w)
        workers.emplace_back([&, w] {
            for (int round = 0; !stop.load(); ++round) {
                const int slot = w * 3 + round % 3;
                ConnectionRecord &rec = t[slot];
                if (rec.InUse()) {
                    rec.inUse.store(0);
                    std::lock_guard lock(queueMutex);
                    released.emplace_back(slot, rec.generation.load());
                } else {
                    rec.generation.fetch_add(1);
                    rec.sensorAddress = uint32_t(1 + round % 5);
                    rec.inUse.store(1);
                    t.SetStats(slot, round);
                }
                std::this_thread::yield();
            }
        });
    for (int i = 0; i < 3000; ++i) {
        steady->Tick(*t.table);
        std::vector<std::pair<int, uint32_t>> batch;
        {
            std::lock_guard lock(queueMutex);
            batch.swap(released);
        }
        for (auto [slot, generation] : batch)
            steady->Release(slot, generation);
    }
    stop = true;
    for (auto &w : workers)
        w.join();
    // Every record still advanced exactly once per tick.
    for (int i = 0; i < kSteadyRecordCount; ++i)
        EXPECT_EQ(steady->Record(i).writeIndex, 3000 % kSteadyHistoryLength);
}

// The history refills a record only when it gets a sensor it did not hold:
// a reconnection continues the record's own rings. A refill that arrives
// late leaves every entry written since the binding alone.
TEST(SteadyTable, BindObserverAndRefillRespectTheBindingsOwnEntries)
{
    HandTable t;
    auto steady = std::make_unique<SteadyTable>();
    std::vector<std::pair<int, int32_t>> binds;
    uint64_t bindTick = 0;
    steady->SetBindObserver([&](int record, int32_t address, uint64_t tick) {
        binds.emplace_back(record, address);
        bindTick = tick;
    });
    steady->Tick(*t.table);
    t.Connect(0, 5);
    t.SetStats(0, 1.0);
    for (int i = 0; i < 3; ++i)
        steady->Tick(*t.table);
    ASSERT_EQ(binds.size(), 1u);
    EXPECT_EQ(binds[0], std::make_pair(0, int32_t(5)));
    EXPECT_EQ(bindTick, 2u);
    steady->Release(0, t.Disconnect(0));
    steady->Tick(*t.table);
    t.Connect(0, 5);
    steady->Tick(*t.table);
    EXPECT_EQ(binds.size(), 1u);  // its own record again

    auto byAge = std::make_unique<float[][kSteadyHistoryLength]>(kSteadySeriesCount);
    for (int a = 0; a < kSteadyHistoryLength; ++a)
        byAge[0][a] = 1000.0f + float(a);
    steady->ApplyRefill(0, 5, bindTick, byAge.get());
    const SteadyRecord &r = steady->Record(0);
    // Ticks 2..6 wrote positions 1..5 (tick 5 a zero while released); the
    // entry before the binding is age 1, the oldest kept is age 7195.
    EXPECT_EQ(r.writeIndex, 6);
    EXPECT_FLOAT_EQ(r.Ring(0)[1], 1.0f);
    EXPECT_FLOAT_EQ(r.Ring(0)[4], 0.0f);
    EXPECT_FLOAT_EQ(r.Ring(0)[5], 1.0f);
    EXPECT_FLOAT_EQ(r.Ring(0)[0], 1001.0f);
    EXPECT_FLOAT_EQ(r.Ring(0)[kSteadyHistoryLength - 1], 1002.0f);
    EXPECT_FLOAT_EQ(r.Ring(0)[6], 1000.0f + kSteadyHistoryLength - 5);
    // For another address, or a binding of a later tick than the table has seen: nothing.
    byAge[0][1] = -1.0f;
    steady->ApplyRefill(0, 6, bindTick, byAge.get());
    steady->ApplyRefill(0, 5, steady->TickCount() + 1, byAge.get());
    EXPECT_FLOAT_EQ(r.Ring(0)[0], 1001.0f);
}

}  // namespace
}  // namespace tav
