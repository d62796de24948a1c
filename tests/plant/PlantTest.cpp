// The service end to end: a station's own payloads through a real broker
// into a real PostgreSQL, and the faults the service must ride out.
#include <gtest/gtest.h>

#include <memory>

#include "core/model/AlarmTypes.h"
#include "core/mqtt/MqttAlarmBridge.h"
#include "core/mqtt/MqttPayloads.h"
#include "plant/main/Service.h"
#include "plant/store/Store.h"
#include "plant/TestPostgres.h"

namespace tav {
namespace {

using namespace tav::plant;
using test::WaitUntil;

constexpr int64_t kDay = 86400000;

SteadySensorValues Values(int32_t address)
{
    SteadySensorValues v;
    v.address = address;
    for (int i = 0; i < kSteadySeriesCount; ++i)
        v.values[i] = 0.1f * float(i + 1) + 0.013f;
    v.values[3] = 2.5f;  // x vr, which the hostile cases bend
    v.samplingFrequency = 26667;
    v.temperature = 31.5f;
    v.speedFromRecord = true;
    v.sensorFault[2] = kFaultDead;
    v.daysToAlert[0] = 12.5f;
    return v;
}

class Plant : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pg.Ready());
        ASSERT_TRUE(broker.Start());
        config.broker.url = broker.Url();
        config.broker.port = broker.Port();
        config.database.conninfo = pg.Conninfo();
        config.database.batchIntervalMs = 100;
        service = std::make_unique<Service>(config);
        std::string error;
        ASSERT_TRUE(service->Start(&error)) << error;
        mosquitto_lib_init();
        pub = mosquitto_new(nullptr, true, &acked);
        mosquitto_publish_callback_set(pub, [](mosquitto *, void *n, int) { ++*static_cast<std::atomic<int> *>(n); });
        ASSERT_EQ(mosquitto_connect(pub, "127.0.0.1", broker.Port(), 30), MOSQ_ERR_SUCCESS);
        mosquitto_loop_start(pub);
        // Subscribed once a message of ours comes through.
        ASSERT_TRUE(WaitUntil([&] {
            Publish("status", StatusJson({true, "1.0", 1765260002114, 22009, 3}));
            return service->Received() > 0;
        }, 20));
    }
    void TearDown() override
    {
        if (pub) {
            mosquitto_disconnect(pub);
            mosquitto_loop_stop(pub, false);
            mosquitto_destroy(pub);
        }
        if (service)
            service->Stop(5000);
    }
    void Publish(const std::string &leaf, const std::string &payload)
    {
        mosquitto_publish(pub, nullptr, ("tavenor/st7/" + leaf).c_str(), int(payload.size()), payload.data(), 1, false);
    }
    int64_t Count(const std::string &table) { return std::atoll(pg.Query("select count(*) from " + table).c_str()); }

    test::TestPostgres pg;
    test::TestBroker broker{"", true};
    PlantConfig config;
    std::atomic<int> acked{0};
    std::unique_ptr<Service> service;
    mosquitto *pub = nullptr;
};

TEST_F(Plant, RowsEqualWhatTheStationPublishedAndARedeliveryMakesNoSecondRow)
{
    const int64_t t0 = NowUtcMs() / 1000 * 1000 - 3600000;
    const SteadySensorValues v = Values(17);
    SensorExtras extras;
    std::snprintf(extras.name, sizeof extras.name, "3号循环泵");
    extras.isoVelocity[0] = 2.71f;
    extras.zone[0] = 'B';
    extras.bandCount = 1;
    std::snprintf(extras.bandName[0], 64, "外圈");
    const std::string steady = SteadyJson(t0 + 500, v, extras);
    Publish("sensor/17/steady", steady);
    AlarmEvent e;
    e.utcMs = t0 + 700;
    e.alarmId = 12;
    e.address = 17;
    e.name = "3号循环泵";
    e.quantity = 0;
    e.axis = 0;
    e.value = 3.12;
    e.limit = 2.8;
    e.kind = AlarmEventKind::kAcknowledge;
    e.comment = "检查轴承\t换油\\";
    e.user = "张工";
    Publish("alarm", AlarmEventJson(e));
    Publish("sensor/17/state", StateJson(true, 0xC0A80175, 50123, t0));
    ASSERT_TRUE(WaitUntil([&] { return Count("steady") == 1 && Count("alarm_events") == 1; }, 20));

    const std::string where = " from steady where station = 'st7' and address = 17";
    EXPECT_EQ(pg.Query("select (extract(epoch from time) * 1000)::bigint" + where), std::to_string(t0 + 500));
    static const char *const kAxes[3] = {"x", "y", "z"};
    static const char *const kParams[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
    for (int axis = 0; axis < 3; ++axis)
        for (int p = 0; p < 7; ++p)
            EXPECT_EQ(std::stof(pg.Query(std::string("select ") + kAxes[axis] + "_" + kParams[p] + where)),
                      v.values[axis * 7 + p])
                << kAxes[axis] << "_" << kParams[p];
    EXPECT_EQ(std::stof(pg.Query("select rpm" + where)), v.values[kSpeedSeries]);
    EXPECT_EQ(pg.Query("select concat_ws('|', name, fs, temperature, rpm_no_record, x_iso_v, y_iso_v is null, x_zone,"
                       " z_sensor_fault, x_days_to_alert, bands->'band1'->>'name')" + where),
              "3号循环泵|26667|31.5|f|2.71|t|B|无振动|12.5|外圈");
    EXPECT_EQ(pg.Query("select concat_ws('|', event, alarm_id, address, quantity, axis, severity, value, limit_value,"
                       " comment, who) from alarm_events"),
              "acknowledge|12|17|velocity|x|alert|3.12|2.8|检查轴承\t换油\\|张工");
    EXPECT_EQ(pg.Query("select concat_ws('|', connected, peer) from connection_states"), "t|192.168.1.117:50123");
    EXPECT_EQ(pg.Query("select concat_ws('|', name, limits->>'velocity.x.alert') from sensors"), "3号循环泵|2.8");
    EXPECT_EQ(pg.Query("select state from stations where station = 'st7'"), "online");

    // The broker's redelivery, then the next tick: one more row, not two.
    Publish("sensor/17/steady", steady);
    Publish("sensor/17/steady", SteadyJson(t0 + 1000, v, extras));
    ASSERT_TRUE(WaitUntil([&] { return service->writer().counters.duplicates.load() >= 1 && Count("steady") == 2; }, 20));
    EXPECT_EQ(Count("steady"), 2);
}

TEST_F(Plant, APostgresCrashInTheMiddleLosesNothing)
{
    const int64_t t0 = NowUtcMs() / 1000 * 1000 - 600000;
    SensorExtras extras;
    for (int i = 0; i < 40; ++i) {
        if (i == 15) {
            ASSERT_TRUE(WaitUntil([&] { return Count("steady") == 15; }, 20));
            pg.Stop(SIGQUIT);
            ASSERT_TRUE(WaitUntil([&] { return !service->writer().DatabaseUp(); }, 20));
        }
        Publish("sensor/3/steady", SteadyJson(t0 + i * 500, Values(3), extras));
        if (i == 30) {
            ASSERT_TRUE(pg.Start());
        }
    }
    ASSERT_TRUE(WaitUntil([&] { return Count("steady") == 40; }, 40));
    EXPECT_EQ(service->writer().counters.dropped.load(), 0);
    EXPECT_EQ(pg.Query("select count(distinct time) from steady"), "40");
}

TEST_F(Plant, WhatTheBrokerKeptForTheServiceSurvivesABrokerRestart)
{
    const int64_t t0 = NowUtcMs() / 1000 * 1000 - 600000;
    Publish("sensor/2/steady", SteadyJson(t0, Values(2), SensorExtras()));
    ASSERT_TRUE(WaitUntil([&] { return Count("steady") == 1; }, 20));
    service->Stop(5000);
    const int before = acked.load();
    for (int i = 1; i <= 10; ++i)
        Publish("sensor/2/steady", SteadyJson(t0 + i * 500, Values(2), SensorExtras()));
    ASSERT_TRUE(WaitUntil([&] { return acked.load() == before + 10; }, 20));
    broker.Kill(SIGTERM);  // saves the session and its queue
    ASSERT_TRUE(broker.Start());
    service = std::make_unique<Service>(config);
    std::string error;
    ASSERT_TRUE(service->Start(&error)) << error;
    ASSERT_TRUE(WaitUntil([&] { return Count("steady") == 11; }, 40));
}

TEST_F(Plant, AHostileMessageIsRefusedCountedAndNeverStored)
{
    const std::string good = SteadyJson(NowUtcMs() - 1000, Values(5), SensorExtras());
    auto bent = [&](const std::string &from, const std::string &to) {
        std::string s = good;
        const size_t at = s.find(from);
        return at == std::string::npos ? std::string("missing ") + from : s.replace(at, from.size(), to);
    };
    const std::pair<std::string, std::string> hostile[] = {
        {"sensor/5/steady", "{not json"},
        {"sensor/5/steady", std::string(300000, ' ') + good},
        {"sensor/5/steady", std::string(5000, '[') + std::string(5000, ']')},
        {"sensor/5/steady", bent("\"vr\":2.5", "\"vr\":\"2.5\"")},
        {"sensor/5/steady", bent("\"vr\":2.5", "\"vr\":-2.5")},
        {"sensor/5/steady", bent("\"vr\":2.5", "\"vr\":1e999")},
        {"sensor/5/steady", bent("\"vr\":2.5", "\"vr\":NaN")},
        {"sensor/5/steady", bent("\"address\":5", "\"address\":6")},
        {"sensor/5/steady", bent("\"time\":\"20", "\"time\":\"29")},
        {"sensor/5/steady", bent("\"x\":{", "\"x\":[{")},
        {"sensor/5/steady", "{\"time\":\"2026-12-09T06:15:30.500Z\",\"address\":5}"},
        {"sensor/x5/steady", good},
        {"alarm", "[1,2,3]"},
        {"status", "{\"state\":\"hacked\"}"},
    };
    const int64_t received = service->Received(), refused = service->Refused();
    for (const auto &[leaf, payload] : hostile)
        Publish(leaf, payload);
    Publish("sensor/5/steady", good);
    const int64_t n = int64_t(std::size(hostile));
    ASSERT_TRUE(WaitUntil([&] { return service->Received() >= received + n + 1 && Count("steady") == 1; }, 20));
    EXPECT_EQ(service->Refused() - refused, n);
    EXPECT_EQ(Count("steady"), 1);
    EXPECT_EQ(Count("alarm_events"), 0);
}

TEST(PlantStore, RetentionDropsExactlyTheExpiredPartitionsAndAggregatesCloseTheirMinutes)
{
    test::TestPostgres pg;
    ASSERT_TRUE(pg.Ready());
    Store store(pg.Conninfo());
    std::string error;
    ASSERT_TRUE(store.Open(&error)) << error;
    const int64_t now = NowUtcMs();
    std::vector<Row> rows;
    auto add = [&](int64_t t, float vr) {
        SteadySensorValues v = Values(9);
        v.values[3] = vr;
        ParseResult r = ParseMessage("st1", "sensor/9/steady", SteadyJson(t, v, SensorExtras()), now, now);
        ASSERT_TRUE(r.ok) << r.why;
        rows.push_back(r.rows[0]);
    };
    for (int k = 0; k <= 5; ++k)
        add(now - k * kDay, 1.0f);
    const int64_t minute = (now - kDay) / 60000 * 60000;
    add(minute - 60000 + 1000, 1.0f);
    add(minute - 60000 + 2000, 3.0f);
    int64_t inserted = 0, expired = 0;
    ASSERT_EQ(store.Write(rows, now, 30, &inserted, &expired, &error), Store::Result::kOk) << error;
    EXPECT_EQ(inserted, 8);
    ASSERT_EQ(store.Aggregate(now, &error), Store::Result::kOk) << error;
    const std::string key = " where address = 9 and time = '" + SqlTime(minute - 60000) + "'";
    EXPECT_EQ(pg.Query("select concat_ws('|', n, x_vr_min, x_vr_max, x_vr_mean) from steady_minute" + key), "2|1|3|2");
    EXPECT_EQ(pg.Query("select count(*) from pending_minutes where time < '" + SqlTime(now - 60000) + "'"), "0");

    std::vector<std::string> dropped;
    ASSERT_EQ(store.Expire(now, {3, 90, 3650}, &dropped, &error), Store::Result::kOk) << error;
    const std::vector<std::string> expected = {SteadyPartition(DayStart(now) - 5 * kDay),
                                               SteadyPartition(DayStart(now) - 4 * kDay)};
    EXPECT_EQ(dropped, expected);
    EXPECT_EQ(pg.Query("select count(*) from steady"), "6");
    // A row the retention would drop at once is counted, not written.
    ASSERT_EQ(store.Write({rows[5]}, now, 3, &inserted, &expired, &error), Store::Result::kOk);
    EXPECT_EQ(expired, 1);
    EXPECT_EQ(pg.Query("select count(*) from " + expected[0]), "");
}

// A plant closes thousands of sensor-minutes at once; each batch builds a
// share of them, and none may be left behind.
TEST(PlantStore, ManyClosedMinutesAreAllBuiltOverSeveralBatches)
{
    test::TestPostgres pg;
    ASSERT_TRUE(pg.Ready());
    Store store(pg.Conninfo());
    std::string error;
    ASSERT_TRUE(store.Open(&error)) << error;
    const int64_t now = NowUtcMs(), minute = now / 60000 * 60000 - 180000;  // both minutes closed
    std::vector<Row> rows;
    for (int32_t a = 1; a <= 300; ++a)
        for (int64_t t : {minute + 1000, minute + 61000}) {
            ParseResult r = ParseMessage("st1", "sensor/" + std::to_string(a) + "/steady",
                                         SteadyJson(t, Values(a), SensorExtras()), now, now);
            ASSERT_TRUE(r.ok) << r.why;
            rows.push_back(r.rows[0]);
        }
    int64_t inserted = 0, expired = 0;
    ASSERT_EQ(store.Write(rows, now, 30, &inserted, &expired, &error), Store::Result::kOk) << error;
    ASSERT_EQ(store.Aggregate(now, &error), Store::Result::kOk) << error;
    EXPECT_NE(pg.Query("select count(*) from pending_minutes"), "0");  // a share, not all at once
    for (int call = 0; call < 10 && pg.Query("select count(*) from pending_minutes") != "0"; ++call)
        ASSERT_EQ(store.Aggregate(now, &error), Store::Result::kOk) << error;
    EXPECT_EQ(pg.Query("select count(*) from pending_minutes"), "0");
    EXPECT_EQ(pg.Query("select count(*) from steady_minute where n = 1"), "600");
}

}  // namespace
}  // namespace tav
