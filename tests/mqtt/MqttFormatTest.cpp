// Payload texts, the [mqtt] settings and their resolution, without a broker.
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstring>
#include <fstream>

#include "core/mqtt/Json.h"
#include "core/mqtt/MqttPayloads.h"
#include "core/net/ErrorTexts.h"
#include "core/settings/MqttConfig.h"
#include "core/settings/StationSettings.h"
#include "core/station/CommandLine.h"
#include "tests/mqtt/TestBroker.h"

using namespace tav;

TEST(MqttJson, StringsEscapedNumbersExactNonFiniteNull)
{
    JsonWriter w;
    w.BeginObject();
    w.Key("s").String(std::string("a\"b\\c\n\x01\xE6\xB3\xB5", 10));
    w.Key("bad").String(std::string("x\xFFy\xC0\xAF", 5));  // stray byte, overlong '/'
    w.Key("f").Number(0.1f);
    w.Key("d").Number(-2.5e-7);
    w.Key("nan").Number(std::nanf(""));
    w.Key("inf").Number(-INFINITY);
    w.Key("i").Integer(-42);
    w.Key("o").BeginObject().Key("b").Bool(false).Key("n").Null().EndObject();
    w.EndObject();
    EXPECT_EQ(w.Text(), "{\"s\":\"a\\\"b\\\\c\\n\\u0001\xE6\xB3\xB5\",\"bad\":\"x\xEF\xBF\xBDy\xEF\xBF\xBD\xEF\xBF\xBD\","
                        "\"f\":0.1,\"d\":-2.5e-07,\"nan\":null,\"inf\":null,\"i\":-42,\"o\":{\"b\":false,\"n\":null}}");
    EXPECT_EQ(IsoUtcMs(1765254860123), "2025-12-09T04:34:20.123Z");
    EXPECT_EQ(IsoUtcMs(-1), "1969-12-31T23:59:59.999Z");
}

TEST(MqttPayloads, SteadyCarriesEveryAxisValueAndNullsWhatIsUnknown)
{
    SteadySensorValues v;
    v.address = 17;
    for (int s = 0; s < kSteadySeriesCount; ++s)
        v.values[s] = 1.25f * float(s + 1);
    v.values[3] = std::nanf("");  // a value the sensor could not give
    v.samplingFrequency = 26667;
    v.temperature = 31.5f;
    SensorExtras extras;
    std::strcpy(extras.name, "泵 \"3\"");
    extras.isoVelocity[1] = 4.5f;
    extras.zone[1] = 'C';
    const std::string json = SteadyJson(1765254860123, v, extras);
    EXPECT_EQ(test::JsonString(json, "time"), "2025-12-09T04:34:20.123Z");
    EXPECT_NE(json.find("\"name\":\"泵 \\\"3\\\"\""), std::string::npos) << json;
    EXPECT_EQ(test::JsonNumber(json, "address"), 17);
    EXPECT_EQ(test::JsonNumber(json, "fs"), 26667);
    EXPECT_EQ(test::JsonNumber(json, "temperature"), 31.5);
    EXPECT_EQ(test::JsonNumber(json, "rpm"), 1.25 * (kSpeedSeries + 1));
    const char *params[7] = {"ar", "ap", "ak", "vr", "vp", "dr", "dp"};
    const char *axes[3] = {"x", "y", "z"};
    for (int axis = 0; axis < 3; ++axis) {
        const size_t at = json.find(std::string("\"") + axes[axis] + "\":{");
        ASSERT_NE(at, std::string::npos);
        for (int p = 0; p < 7; ++p) {
            const double expect = axis * 7 + p == 3 ? NAN : 1.25 * (axis * 7 + p + 1);
            const double got = test::JsonNumber(json, params[p], at);
            if (std::isnan(expect))
                EXPECT_TRUE(std::isnan(got)) << json;
            else
                EXPECT_EQ(got, expect) << axes[axis] << params[p];
        }
    }
    const size_t y = json.find("\"y\":{");
    EXPECT_EQ(test::JsonNumber(json, "iso_v", y), 4.5);
    EXPECT_EQ(test::JsonString(json, "zone", y), "C");
    EXPECT_TRUE(std::isnan(test::JsonNumber(json, "iso_v", json.find("\"z\":{"))));
    EXPECT_NE(json.find("\"zone\":null"), std::string::npos);

    EXPECT_EQ(StateJson(true, 0xC0A80105, 50123, 0),
              "{\"connected\":true,\"peer\":\"192.168.1.5:50123\",\"since\":\"1970-01-01T00:00:00.000Z\"}");
    StatusInfo status{true, "1.0", 0, 22009, 3};
    EXPECT_EQ(StatusJson(status), "{\"state\":\"online\",\"version\":\"1.0\",\"started\":\"1970-01-01T00:00:00.000Z\","
                                  "\"port\":22009,\"online_count\":3}");
    status.online = false;
    EXPECT_EQ(StatusJson(status), "{\"state\":\"offline\"}");
}

TEST(MqttSettings, BadEntriesNameTheLineAndNeverLeaveAnEmptyPrefix)
{
    std::vector<std::string> messages;
    StationSettings s = ParseStationSettings("[mqtt]\n"
                                             "url = \"http://broker:1883\"\n"
                                             "topic_prefix = \"\"\n"
                                             "qos = 3\n"
                                             "interval_s = 0\n"
                                             "client_id = \"\"\n",
                                             "station.toml", &messages);
    EXPECT_TRUE(s.mqtt.url.empty());  // off: a url it cannot use points nowhere
    EXPECT_EQ(s.mqtt.topicPrefix, "tavenor/<hostname>");
    EXPECT_EQ(s.mqtt.clientId, "tavenor-<hostname>-<port>");
    EXPECT_EQ(s.mqtt.qos, 1);
    EXPECT_EQ(s.mqtt.intervalS, 1);
    ASSERT_EQ(messages.size(), 5u);
    EXPECT_NE(messages[0].find("第2行：[mqtt] url"), std::string::npos) << messages[0];
    EXPECT_NE(messages[0].find("不启用 MQTT"), std::string::npos);
    EXPECT_NE(messages[1].find("第3行：[mqtt] topic_prefix"), std::string::npos) << messages[1];

    for (const char *prefix : {"a/#", "+/b", "/lead", "trail/", "a//b"}) {
        messages.clear();
        s = ParseStationSettings(std::string("[mqtt]\ntopic_prefix = \"") + prefix + "\"\n", "station.toml", &messages);
        EXPECT_EQ(s.mqtt.topicPrefix, "tavenor/<hostname>") << prefix;
        EXPECT_EQ(messages.size(), 1u) << prefix;
    }

    messages.clear();
    s = ParseStationSettings("[mqtt]\nurl = \"mqtts://[::1]:8884\"\nca_file = \"/x/ca.pem\"\nqos = 0\n"
                             "buffer_minutes = 2\ninsecure = false\nusername = \"station7\"\n",
                             "station.toml", &messages);
    EXPECT_TRUE(messages.empty());
    EXPECT_EQ(s.mqtt.url, "mqtts://[::1]:8884");
    EXPECT_EQ(s.mqtt.qos, 0);
    EXPECT_EQ(s.mqtt.bufferMinutes, 2);

    std::string host, error;
    int port = 0;
    bool tls = false;
    EXPECT_TRUE(ParseBrokerUrl("mqtt://broker.plant.local", &host, &port, &tls, &error));
    EXPECT_EQ(host, "broker.plant.local");
    EXPECT_EQ(port, 1883);
    EXPECT_TRUE(ParseBrokerUrl("mqtts://[::1]:8884", &host, &port, &tls, &error));
    EXPECT_EQ(host, "::1");
    EXPECT_EQ(port, 8884);
    EXPECT_TRUE(tls);
    for (const char *bad : {"mqtt://", "mqtt://h:0", "mqtt://h:70000", "mqtt://h:", "mqtt://u:p@h", "tcp://h",
                            "mqtt://h/topic", "mqtts://[::1"})
        EXPECT_FALSE(ParseBrokerUrl(bad, &host, &port, &tls, &error)) << bad;
}

TEST(MqttSettings, ResolutionReadsThePasswordRefusesUnverifiedTlsAndNeverShowsTheSecret)
{
    test::TempDir dir;
    std::ofstream(dir.File("pass")) << "s3cret-pw\n";
    MqttSettings s;
    s.url = "mqtt://broker:1884";
    s.username = "station7";
    s.passwordFile = dir.File("pass");
    MqttConfig c;
    std::vector<std::string> messages;
    ASSERT_TRUE(ResolveMqttConfig(s, "host-a", 22010, &c, &messages));
    EXPECT_EQ(c.password, "s3cret-pw");
    EXPECT_EQ(c.prefix, "tavenor/host-a");
    EXPECT_EQ(c.clientId, "tavenor-host-a-22010");
    EXPECT_EQ(c.BrokerAddress(), "mqtt://broker:1884");

    // A host name must not add topic levels or wildcards.
    ASSERT_TRUE(ResolveMqttConfig(s, "a/b+c", 1, &c, &messages));
    EXPECT_EQ(c.prefix, "tavenor/a_b_c");

    s.url = "mqtts://broker";
    messages.clear();
    EXPECT_FALSE(ResolveMqttConfig(s, "h", 1, &c, &messages));  // no CA, not insecure
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_NE(messages[0].find("不启用 MQTT"), std::string::npos);
    s.insecure = true;
    messages.clear();
    EXPECT_TRUE(ResolveMqttConfig(s, "h", 1, &c, &messages));
    ASSERT_EQ(messages.size(), 1u);  // said at every start
    EXPECT_NE(messages[0].find("insecure"), std::string::npos);

    s.caFile = dir.File("missing.pem");
    s.insecure = false;
    EXPECT_FALSE(ResolveMqttConfig(s, "h", 1, &c, &messages));
    s.caFile.clear();
    s.url = "mqtt://broker";
    s.passwordFile = dir.File("nope");
    EXPECT_FALSE(ResolveMqttConfig(s, "h", 1, &c, &messages));
    s.passwordFile = dir.File("pass");
    s.username.clear();
    EXPECT_FALSE(ResolveMqttConfig(s, "h", 1, &c, &messages));
    s.url = "mqtt://";
    EXPECT_FALSE(ResolveMqttConfig(s, "h", 1, &c, &messages));
    for (const auto &m : messages)
        EXPECT_EQ(m.find("s3cret"), std::string::npos) << m;

    // --mqtt overrides the file's url; the rest of the line still parses.
    const char *argv[] = {"tavenor", "--mqtt", "mqtt://127.0.0.1:1", "--port=0"};
    int port = 22009;
    std::string url = "mqtt://from-file", error;
    EXPECT_EQ(ParseCommandLine(4, argv, &port, &url, &error), CommandLineAction::Run);
    EXPECT_EQ(url, "mqtt://127.0.0.1:1");
    EXPECT_EQ(port, 0);
    const char *missing[] = {"tavenor", "--mqtt"};
    EXPECT_EQ(ParseCommandLine(2, missing, &port, &url, &error), CommandLineAction::Error);
    // Callers without a url slot still accept the option: one parser reads every option.
    const char *unreported[] = {"tavenor", "--mqtt=mqtt://x"};
    EXPECT_EQ(ParseCommandLine(2, unreported, &port, &error), CommandLineAction::Run);
}

// Regression: connection-log lines carried the broker library's English
// ("(The connection was lost.)", "(Unknown error.)"). Every code reads in
// Chinese; only acronyms stay in Latin letters.
TEST(ErrorTexts, BrokerAndSystemErrorsReadInChinese)
{
    auto english = [](std::string t) {
        for (const char *acronym : {"TLS", "QoS", "OCSP"})
            for (size_t at; (at = t.find(acronym)) != std::string::npos;)
                t.erase(at, std::strlen(acronym));
        return std::any_of(t.begin(), t.end(), [](char c) { return std::isalpha(static_cast<unsigned char>(c)); });
    };
    for (int rc = 0; rc <= 40; ++rc)
        EXPECT_FALSE(english(tav::BrokerErrorText(rc, ECONNREFUSED))) << rc << " " << tav::BrokerErrorText(rc, 0);
    for (int code = 1; code <= 140; ++code)
        EXPECT_FALSE(english(tav::BrokerRefusalText(code))) << code;
    for (int err = 0; err <= 133; ++err)
        EXPECT_FALSE(english(tav::SystemErrorText(err))) << err;
    EXPECT_EQ(tav::BrokerErrorText(7, 0), "连接已断开");
    EXPECT_EQ(tav::BrokerErrorText(14, ECONNREFUSED), "对方拒绝连接");
}
