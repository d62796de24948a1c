// The plant's web API against a real PostgreSQL filled by the service's own
// writer: what the pages show, and who may do what.
#include <gtest/gtest.h>
#include <httplib.h>

#include <mutex>
#include <nlohmann/json.hpp>
#include <thread>

#include "core/mqtt/Json.h"
#include "core/mqtt/MqttPayloads.h"
#include "plant/TestPostgres.h"
#include "plant/ingest/Message.h"
#include "plant/store/Writer.h"
#include "plant/web/Password.h"
#include "plant/web/WebServer.h"

namespace tav {
namespace {

using namespace tav::plant;
using nlohmann::json;
using test::WaitUntil;

struct FakeAck : AckSender {
    bool Send(const std::string &station, uint64_t alarmId, const std::string &user, const std::string &comment,
              std::string *requestId) override
    {
        *requestId = "test";
        std::lock_guard<std::mutex> lock(mutex);
        sent.push_back(station + "|" + std::to_string(alarmId) + "|" + user + "|" + comment);
        return true;
    }
    std::mutex mutex;
    std::vector<std::string> sent;
};

class Web : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_TRUE(pg.Ready());
        config.database.conninfo = pg.Conninfo();
        config.database.batchIntervalMs = 100;
        config.web.host = "127.0.0.1";
        config.web.port = test::FreeLoopbackPort();
        config.web.listen = "127.0.0.1:" + std::to_string(config.web.port);
        config.web.threads = 16;
        config.web.users = {{"ana", "viewer", HashPassword("ana-pw")},
                            {"bo", "operator", HashPassword("bo-pw")},
                            {"cy", "operator", HashPassword("cy-pw")}};
        writer = std::make_unique<Writer>(config);
        web = std::make_unique<WebServer>(config, &ack);
        writer->committed = [this] { web->Committed(); };
        std::string error;
        ASSERT_TRUE(web->Start(&error)) << error;
        writer->Start();
    }
    void TearDown() override
    {
        web->Stop();
        writer->Stop(5000);
    }
    void Put(int address, const std::string &leaf, const std::string &payload)
    {
        ParseResult r = ParseMessage("st1", "sensor/" + std::to_string(address) + "/" + leaf, payload, NowUtcMs(),
                                     NowUtcMs());
        ASSERT_TRUE(r.ok) << r.why;
        writer->Push(std::move(r.rows));
    }
    void Steady(int address, int64_t ms, float iso, char zone = 0)
    {
        SteadySensorValues v;
        v.address = address;
        for (int i = 0; i < kSteadySeriesCount; ++i)
            v.values[i] = 1.0f;
        v.values[3] = iso;  // x vr
        SensorExtras extras;
        std::snprintf(extras.name, sizeof extras.name, "泵%d", address);
        extras.isoVelocity[0] = iso;
        extras.zone[0] = zone ? zone : iso > 7 ? 'D' : 'A';
        Put(address, "steady", SteadyJson(ms, v, extras));
    }
    // A client logged in as `user` (empty: anonymous), with its form token.
    struct Browser {
        httplib::Client http;
        httplib::Headers headers;
        std::string csrf;
        explicit Browser(int port) : http("127.0.0.1", port) {}
    };
    std::unique_ptr<Browser> Open()
    {
        auto b = std::make_unique<Browser>(config.web.port);
        auto r = b->http.Get("/api/session");
        EXPECT_TRUE(r && r->status == 200);
        if (!r)
            return b;
        const std::string cookie = r->get_header_value("Set-Cookie");
        EXPECT_NE(cookie.find("HttpOnly"), std::string::npos);
        EXPECT_NE(cookie.find("SameSite=Strict"), std::string::npos);
        b->headers = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
        b->csrf = json::parse(r->body)["csrf"];
        return b;
    }
    int Login(Browser &b, const std::string &user, const std::string &password, bool withToken = true)
    {
        httplib::Headers h = b.headers;
        if (withToken)
            h.emplace("X-CSRF-Token", b.csrf);
        auto r = b.http.Post("/api/login", h, json{{"name", user}, {"password", password}}.dump(), "application/json");
        if (r && r->status == 200) {
            const std::string cookie = r->get_header_value("Set-Cookie");
            b.headers = {{"Cookie", cookie.substr(0, cookie.find(';'))}};
            b.csrf = json::parse(r->body)["csrf"];
        }
        return r ? r->status : -1;
    }
    json Get(Browser &b, const std::string &path)
    {
        auto r = b.http.Get(path, b.headers);
        EXPECT_TRUE(r && r->status == 200) << path << " " << (r ? r->body : "");
        return r && r->status == 200 ? json::parse(r->body) : json();
    }

    test::TestPostgres pg;
    PlantConfig config;
    FakeAck ack;
    std::unique_ptr<Writer> writer;
    std::unique_ptr<WebServer> web;
};

// Without alarms and with no limits known every ratio is 0: the worse zone
// must still come first, not the lower address.
TEST_F(Web, OverviewPutsTheWorseZoneFirstWithinOneAlarmState)
{
    const int64_t t0 = NowUtcMs() - 5000;
    Steady(1, t0, 1.5f);
    Steady(3, t0, 2.0f, 'C');
    ASSERT_TRUE(WaitUntil([&] { return pg.Query("select count(*) from steady") == "2"; }, 30));
    auto b = Open();
    ASSERT_EQ(Login(*b, "ana", "ana-pw"), 200);
    const json overview = Get(*b, "/api/overview");
    ASSERT_EQ(overview["machines"].size(), 2u);
    EXPECT_EQ(overview["machines"][0]["address"], 3);
    EXPECT_EQ(overview["machines"][0]["zone"], "C");
}

TEST_F(Web, OverviewIsWorstFirstLiveAndSeriesComeAtTheSpansResolution)
{
    // Two ticks of the same closed minute, well in the past, so that the
    // writer builds that minute's aggregate.
    const int64_t t0 = (NowUtcMs() / 60000 - 3) * 60000;
    Steady(1, t0 + 1000, 1.5f);
    Steady(2, t0 + 1000, 3.0f);
    Steady(2, t0 + 2000, 9.0f);
    Put(2, "alarm",
        "{\"time\":\"" + IsoUtcMs(t0 + 2000) + "\",\"address\":2,\"alarms\":[{\"alarm_id\":41,\"address\":2,"
        "\"quantity\":\"velocity\",\"axis\":\"x\",\"severity\":\"danger\",\"active\":true,\"acknowledged\":false,"
        "\"value\":9.0,\"limit\":7.1}]}");
    // The alarm may be written in a later batch than the rows.
    ASSERT_TRUE(WaitUntil([&] { return pg.Query("select count(*) from steady_minute") == "2"; }, 30));
    ASSERT_TRUE(WaitUntil(
        [&] { return pg.Query("select count(*) from sensors where current_alarms::text like '%41%'") == "1"; }, 30));

    auto b = Open();
    ASSERT_EQ(Login(*b, "ana", "ana-pw"), 200);
    const json overview = Get(*b, "/api/overview");
    ASSERT_EQ(overview["machines"].size(), 2u);
    ASSERT_EQ(overview["machines"][0]["alarms"].size(), 1u);
    EXPECT_EQ(overview["machines"][0]["address"], 2);
    EXPECT_EQ(overview["machines"][0]["severity"], "danger");
    EXPECT_EQ(overview["machines"][0]["zone"], "D");
    EXPECT_EQ(overview["machines"][0]["alarms"][0]["alarm_id"], 41);
    EXPECT_EQ(Get(*b, "/api/overview?station=nowhere")["machines"].size(), 0u);

    const std::string q = "/api/series?station=st1&address=2&series=x_iso_v&to=" + std::to_string(t0 + 60000);
    const json raw = Get(*b, q + "&from=" + std::to_string(t0 - 3600000));
    EXPECT_EQ(raw["resolution"], "raw");
    EXPECT_EQ(raw["time"], json({t0 + 1000, t0 + 2000}));
    EXPECT_EQ(raw["series"]["x_iso_v"]["value"], json({3.0, 9.0}));
    const json minutes = Get(*b, q + "&from=" + std::to_string(t0 - 7 * 86400000LL));
    EXPECT_EQ(minutes["resolution"], "minute");
    EXPECT_EQ(minutes["time"], json({t0}));
    EXPECT_EQ(minutes["series"]["x_iso_v"]["min"], json({3.0}));
    EXPECT_EQ(minutes["series"]["x_iso_v"]["max"], json({9.0}));
    EXPECT_EQ(Get(*b, q + "&from=" + std::to_string(t0 - 90 * 86400000LL))["resolution"], "hour");
    // Merged into fewer points, the minutes keep their extremes.
    pg.Query("insert into steady_minute (station, address, time, n, x_iso_v_min, x_iso_v_mean, x_iso_v_max) values"
             " ('st1', 2, to_timestamp(" + std::to_string(t0 / 1000 + 60) + "), 1, 1, 2, 12)");
    const json merged = Get(*b, q + "&points=1&from=" + std::to_string(t0 - 86400000LL));
    EXPECT_EQ(merged["time"], json({t0}));
    EXPECT_EQ(merged["series"]["x_iso_v"]["min"], json({1.0}));
    EXPECT_EQ(merged["series"]["x_iso_v"]["max"], json({12.0}));
    // Only known series names reach the SQL.
    auto bad = b->http.Get("/api/series?station=st1&address=2&series=x_vr;drop%20table%20steady", b->headers);
    ASSERT_TRUE(bad);
    EXPECT_EQ(bad->status, 400);

    // A live page hears of the next commit.
    std::atomic<bool> heard{false};
    std::thread listener([&] {
        httplib::Client c("127.0.0.1", config.web.port);
        c.Get("/api/events?station=st1&address=3", b->headers, [&](const char *data, size_t n) {
            if (std::string(data, n).find("\"machines\":[[0,3,") != std::string::npos)
                heard = true;
            return !heard.load();
        });
    });
    ASSERT_TRUE(WaitUntil([&] {
        Steady(3, NowUtcMs() - 1000, 2.0f);
        return heard.load();
    }, 20));
    listener.join();
}

TEST_F(Web, LoginIsLimitedFormsNeedTheirTokenAndOnlyOperatorsAcknowledge)
{
    auto b = Open();
    // Without the form token nobody logs in, even with the right password.
    EXPECT_EQ(Login(*b, "bo", "bo-pw", false), 403);
    EXPECT_EQ(Login(*b, "bo", "wrong"), 401);
    auto anonymous = b->http.Get("/api/overview", b->headers);
    ASSERT_TRUE(anonymous);
    EXPECT_EQ(anonymous->status, 401);
    for (int i = 1; i < LoginLimiter::kFreePerUser; ++i)
        EXPECT_EQ(Login(*b, "bo", "wrong"), 401);
    // Limited now: the right password waits too.
    EXPECT_EQ(Login(*b, "bo", "bo-pw"), 429);

    auto viewer = Open();
    ASSERT_EQ(Login(*viewer, "ana", "ana-pw"), 200);
    const std::string ackPath = "/api/alarms/st1/41/acknowledge";
    const std::string body = json{{"comment", "已检查"}}.dump();
    httplib::Headers h = viewer->headers;
    h.emplace("X-CSRF-Token", viewer->csrf);
    auto refused = viewer->http.Post(ackPath, h, body, "application/json");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 403);

    auto op = Open();  // another operator: bo's limit is bo's alone
    ASSERT_EQ(Login(*op, "cy", "cy-pw"), 200);
    auto noToken = op->http.Post(ackPath, op->headers, body, "application/json");
    ASSERT_TRUE(noToken);
    EXPECT_EQ(noToken->status, 403);
    {
        std::lock_guard<std::mutex> lock(ack.mutex);
        EXPECT_TRUE(ack.sent.empty());
    }
    h = op->headers;
    h.emplace("X-CSRF-Token", op->csrf);
    auto sent = op->http.Post(ackPath, h, body, "application/json");
    ASSERT_TRUE(sent);
    EXPECT_EQ(sent->status, 202);
    std::lock_guard<std::mutex> lock(ack.mutex);
    EXPECT_EQ(ack.sent, std::vector<std::string>{"st1|41|cy|已检查"});
}

}  // namespace
}  // namespace tav

namespace tav {
namespace {

using namespace tav::plant;

TEST(WebConfig, AUserWithABadRoleOrHashIsLeftOutWithItsLine)
{
    const std::string text = "[web]\nlisten = \"0.0.0.0:8443\"\n"
                             "[[web.user]]\nname = \"a\"\nrole = \"operator\"\npassword_hash = \"$argon2id$x\"\n"
                             "[[web.user]]\nname = \"b\"\nrole = \"admin\"\npassword_hash = \"$argon2id$x\"\n"
                             "[[web.user]]\nname = \"c\"\nrole = \"viewer\"\npassword_hash = \"plain\"\n"
                             "[[web.user]]\nname = \"a\"\nrole = \"viewer\"\npassword_hash = \"$argon2id$x\"\n";
    PlantConfig config;
    std::vector<std::string> messages;
    ASSERT_TRUE(ParsePlantConfig(text, "plant.toml", &config, &messages));
    EXPECT_EQ(config.web.host, "0.0.0.0");
    EXPECT_EQ(config.web.port, 8443);
    ASSERT_EQ(config.web.users.size(), 1u);
    EXPECT_EQ(config.web.users[0].role, "operator");
    ASSERT_EQ(messages.size(), 3u);
    EXPECT_NE(messages[0].find("第7行"), std::string::npos) << messages[0];

    PlantConfig off;
    ASSERT_TRUE(ParsePlantConfig("", "plant.toml", &off, &messages));
    EXPECT_TRUE(off.web.listen.empty());
}

TEST(WebSessions, ALoginOutlivesARestartAndALogoutToo)
{
    test::TempDir dir;
    const std::string file = dir.File("sessions");
    Session s, found;
    {
        SessionTable before(3600000);
        before.UseFile(file, 1000);
        ASSERT_TRUE(before.Create("bo", "operator", 1000, &s));
    }
    SessionTable after(3600000);
    after.UseFile(file, 2000);
    ASSERT_TRUE(after.Find(s.id, 2000, &found));
    EXPECT_EQ(found.user + found.role + found.csrf, "bo" "operator" + s.csrf);
    after.Remove(s.id);
    SessionTable again(3600000);
    again.UseFile(file, 3000);
    EXPECT_FALSE(again.Find(s.id, 3000, &found));
}

}  // namespace
}  // namespace tav
