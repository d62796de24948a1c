// Alarm mails against a mail server of the test's own: what reaches it,
// how often, and after a refusal.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

#include "core/mqtt/MqttAlarmBridge.h"
#include "core/mqtt/MqttPayloads.h"
#include "plant/TestPostgres.h"
#include "plant/main/Service.h"
#include "plant/notify/Mailer.h"

namespace tav {
namespace {

using namespace tav::plant;
using test::WaitUntil;

class SmtpSink {
public:
    explicit SmtpSink(int refuse = 0) : port_(test::FreeLoopbackPort())
    {
        pid_ = ::fork();
        if (pid_ == 0) {
            const std::string port = std::to_string(port_), refused = std::to_string(refuse);
            const std::string folder = dir_.path.string();
            ::execl("/usr/bin/python3", "python3", TAVENOR_SMTP_SINK, port.c_str(), folder.c_str(), refused.c_str(),
                    static_cast<char *>(nullptr));
            ::_exit(127);
        }
        ready_ = WaitUntil([this] { return test::Accepts(port_); }, 30);
    }
    ~SmtpSink()
    {
        ::kill(pid_, SIGTERM);
        ::waitpid(pid_, nullptr, 0);
    }
    bool Ready() const { return ready_; }
    std::string Url() const { return "smtp://127.0.0.1:" + std::to_string(port_); }
    // Every mail taken so far, in order, as "Rcpt: …\nSubject: …\n\nbody".
    std::vector<std::string> Mails() const
    {
        std::vector<std::string> names, mails;
        for (const auto &entry : std::filesystem::directory_iterator(dir_.path))
            if (entry.path().extension() == ".txt")
                names.push_back(entry.path().string());
        std::sort(names.begin(), names.end());
        for (const std::string &name : names) {
            std::ifstream in(name);
            mails.emplace_back(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
        }
        return mails;
    }

private:
    test::TempDir dir_;
    int port_;
    pid_t pid_ = -1;
    bool ready_ = false;
};

MailConfig Config(const SmtpSink &sink)
{
    MailConfig m;
    m.url = sink.Url();
    m.insecure = true;
    m.from = "plant@plant.test";
    m.baseUrl = "http://plant.test";
    m.retryFirstS = 1;
    m.retryMaxS = 1;
    m.digestWindowS = 1;
    m.rules.push_back({{"st3"}, {5}, {"danger", "offline"}, {"oncall@plant.test"}});
    return m;
}

StoredAlarm Danger(int64_t id)
{
    StoredAlarm a;
    a.station = "st3";
    a.utcMs = 1765260041000 + id;
    a.alarmId = id;
    a.event = "raise";
    a.address = 5;
    a.name = "5号泵";
    a.quantity = "velocity";
    a.quantityText = "速度有效值(10-1000Hz)";
    a.axis = "x";
    a.severity = "danger";
    a.hasValue = a.hasLimit = true;
    a.value = 7.9;
    a.limit = 7.1;
    return a;
}

// Through the whole service: only an event the database took for the first
// time mails, once, to the rule's address, with the machine's link.
TEST(PlantMail, AStoredAlarmMailsOnceEvenWhenRedelivered)
{
    test::TestPostgres pg;
    test::TestBroker broker;
    SmtpSink sink;
    ASSERT_TRUE(pg.Ready() && broker.Start() && sink.Ready());
    PlantConfig config;
    config.broker.url = broker.Url();
    config.broker.port = broker.Port();
    config.database.conninfo = pg.Conninfo();
    config.database.batchIntervalMs = 100;
    config.mail = Config(sink);
    Service service(config);
    std::string error;
    ASSERT_TRUE(service.Start(&error)) << error;
    mosquitto_lib_init();
    mosquitto *pub = mosquitto_new(nullptr, true, nullptr);
    ASSERT_EQ(mosquitto_connect(pub, "127.0.0.1", broker.Port(), 30), MOSQ_ERR_SUCCESS);
    mosquitto_loop_start(pub);
    auto publish = [&](const std::string &station, const AlarmEvent &e) {
        const std::string payload = AlarmEventJson(e);
        mosquitto_publish(pub, nullptr, ("tavenor/" + station + "/alarm").c_str(), int(payload.size()),
                          payload.data(), 1, false);
    };
    AlarmEvent e;
    e.utcMs = NowUtcMs() / 1000 * 1000 - 60000;
    e.alarmId = 40;
    e.address = 5;
    e.name = "5号泵";
    e.quantity = 0;
    e.axis = 0;
    e.severity = AlarmSeverity::kDanger;
    e.value = 7.9;
    e.limit = 7.1;
    ASSERT_TRUE(WaitUntil([&] {
        publish("st3", e);
        return service.writer().counters.stored.load() > 0;
    }, 20));
    // The redelivery, what the rule leaves out, then one more it takes.
    publish("st3", e);
    AlarmEvent other = e;
    other.alarmId = 41;
    publish("st4", other);
    other.kind = AlarmEventKind::kClear;
    publish("st3", other);
    other.kind = AlarmEventKind::kOffline;
    other.severity = AlarmSeverity::kOffline;
    other.quantity = kOfflineQuantity;
    other.axis = kNoAxis;
    other.value = other.limit = NAN;
    publish("st3", other);
    // The station's last will: every machine of it, whatever the rule's addresses.
    const std::string will = R"({"state":"offline"})";
    mosquitto_publish(pub, nullptr, "tavenor/st3/status", int(will.size()), will.data(), 1, false);
    ASSERT_TRUE(WaitUntil([&] { return sink.Mails().size() >= 3; }, 30));
    const std::vector<std::string> mails = sink.Mails();
    ASSERT_EQ(mails.size(), 3u);
    EXPECT_EQ(mails[0].substr(0, mails[0].find("\n\n")),
              "Rcpt: oncall@plant.test\nSubject: [危险/Danger] st3 5号泵 速度有效值 X轴 7.9 mm/s");
    EXPECT_NE(mails[0].find("\nhttp://plant.test/machine/st3/5\r\n"), std::string::npos) << mails[0];
    EXPECT_NE(mails[1].find("Subject: [离线/Offline] st3 5号泵 离线\n"), std::string::npos) << mails[1];
    EXPECT_NE(mails[2].find("Subject: [离线/Offline] st3 站点离线\n"), std::string::npos) << mails[2];
    mosquitto_disconnect(pub);
    mosquitto_loop_stop(pub, false);
    mosquitto_destroy(pub);
    service.Stop(5000);
}

// A burst to one address: digest_after single mails, then the rest in one.
TEST(PlantMail, ABurstOfTwentyGivesADigestNotTwentyMails)
{
    SmtpSink sink;
    ASSERT_TRUE(sink.Ready());
    const MailConfig config = Config(sink);
    Mailer mailer(config);
    mailer.Start();
    std::vector<StoredAlarm> burst;
    for (int i = 0; i < 20; ++i)
        burst.push_back(Danger(100 + i));
    mailer.Take(std::move(burst));
    ASSERT_TRUE(WaitUntil([&] { return mailer.counters.digests.load() == 1; }, 30));
    mailer.Stop(0);
    const std::vector<std::string> mails = sink.Mails();
    ASSERT_EQ(mails.size(), size_t(config.digestAfter) + 1);
    const std::string &digest = mails.back();
    EXPECT_NE(digest.find("Subject: [报警汇总/Digest] 15 条报警/alarms（危险/Danger 15）\n"), std::string::npos) << digest;
    size_t listed = 0;
    for (size_t at = 0; (at = digest.find("http://plant.test/machine/st3/5", at)) != std::string::npos; ++at)
        ++listed;
    EXPECT_EQ(listed, 15u);
}

TEST(PlantMail, ARefusedMailIsDeliveredOnARetry)
{
    SmtpSink sink(2);
    ASSERT_TRUE(sink.Ready());
    const MailConfig config = Config(sink);
    Mailer mailer(config);
    mailer.Start();
    mailer.Take({Danger(7)});
    ASSERT_TRUE(WaitUntil([&] { return mailer.counters.sent.load() == 1; }, 30));
    mailer.Stop(0);
    EXPECT_EQ(mailer.counters.retried.load(), 2);
    const std::vector<std::string> mails = sink.Mails();
    ASSERT_EQ(mails.size(), 1u);
    EXPECT_NE(mails[0].find("Subject: [危险/Danger] st3 5号泵"), std::string::npos);
}

// A rule whose every severity is a typo must not mail everything, and a
// password written into the url would reach the log.
TEST(PlantMail, BadMailEntriesAreReportedWithTheirLine)
{
    PlantConfig config;
    std::vector<std::string> messages;
    EXPECT_FALSE(ParsePlantConfig("[mail]\nurl = \"smtp://u:pw@mail.test\"\n"
                                  "[[mail.rule]]\nseverities = [\"dangr\"]\nto = [\"a@b.test\"]\n"
                                  "[[mail.rule]]\naddresses = [17, -1]\nto = [\"x@y.test\", \"bad address\"]\n",
                                  "plant.toml", &config, &messages));
    ASSERT_EQ(config.mail.rules.size(), 1u);
    EXPECT_EQ(config.mail.rules[0].addresses, std::vector<int32_t>{17});
    EXPECT_EQ(config.mail.rules[0].to, std::vector<std::string>{"x@y.test"});
    std::string all;
    for (const std::string &m : messages)
        all += m + "\n";
    EXPECT_NE(all.find("plant.toml 第4行：[mail.rule 1] severities 中的 \"dangr\""), std::string::npos) << all;
    EXPECT_NE(all.find("第7行：[mail.rule 2] addresses"), std::string::npos) << all;
    EXPECT_NE(all.find("第8行：[mail.rule 2] to 中的 \"bad address\""), std::string::npos) << all;
    EXPECT_NE(all.find("url 不应含用户名或密码"), std::string::npos) << all;
    EXPECT_EQ(all.find("pw@"), std::string::npos) << all;
}

}  // namespace
}  // namespace tav
