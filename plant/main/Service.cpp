#include "plant/main/Service.h"

#include <exception>

#include "plant/config/Log.h"
#include "plant/ingest/Message.h"

namespace tav::plant {

namespace {

// Refused messages are logged with their topic, at most this many a
// minute; the rest only counted, so a flood cannot fill the journal.
constexpr int kRefusalLogsPerMinute = 20;

}  // namespace

Service::Service(const PlantConfig &config)
    : config_(config),
      writer_(config),
      mailer_(config.mail),
      subscriber_(config, [this](std::string_view topic, std::string_view payload, bool retained) {
          Take(topic, payload, retained);
      }),
      acks_([this](const std::string &topic, const std::string &payload) {
          return subscriber_.Publish(topic, payload, 1);
      })
{
}

bool Service::Start(std::string *error)
{
    if (!config_.web.listen.empty()) {
        web_ = std::make_unique<WebServer>(config_, ack_ ? ack_ : &acks_);
        writer_.committed = [web = web_.get()] { web->Committed(); };
        if (!web_->Start(error))
            return false;
    }
    if (config_.mail.Enabled()) {
        Log("邮件通知：" + std::to_string(config_.mail.rules.size()) + " 条规则，经 " + config_.mail.url);
        if (config_.mail.insecure)
            Log("警告：[mail] insecure = true，邮件可能以明文或未经验证的 TLS 发送");
        mailer_.Start();
        writer_.SetAlarmSink([this](std::vector<StoredAlarm> &&alarms) { mailer_.Take(std::move(alarms)); });
    }
    writer_.Start();
    if (!subscriber_.Start(error)) {
        writer_.Stop(0);
        if (web_)
            web_->Stop();
        mailer_.Stop(0);
        return false;
    }
    return true;
}

void Service::Stop(int flushMs)
{
    // The pages go first: none waits on a writer that is winding down.
    if (web_)
        web_->Stop();
    subscriber_.Stop();
    writer_.Stop(flushMs);
    mailer_.Stop(flushMs);
}

void Service::Take(std::string_view topic, std::string_view payload, bool retained)
{
    ++received_;
    std::string station, rest;
    const int64_t now = NowUtcMs();
    ParseResult parsed;
    if (!SplitTopic(config_.broker.prefixes, topic, &station, &rest)) {
        parsed.why = "主题不属于所跟随的站";
    } else {
        // Commands go where the station's own messages come from.
        acks_.NoteStation(station, topic.substr(0, topic.size() - rest.size() - 1));
        // Whatever a sender manages to make the parser throw costs its
        // message, never the service.
        try {
            parsed = ParseMessage(station, rest, payload, now, now, retained);
        } catch (const std::exception &e) {
            parsed = ParseResult();
            parsed.why = std::string("无法解析（") + e.what() + "）";
        }
    }
    if (parsed.ok) {
        if (!parsed.rows.empty())
            writer_.Push(std::move(parsed.rows));
        return;
    }
    ++refused_;
    if (refusalLogs_.fetch_add(1) < kRefusalLogsPerMinute) {
        std::string shown(topic.substr(0, 200));
        for (char &c : shown)
            if (static_cast<unsigned char>(c) < 0x20)
                c = '?';
        Log("拒收 " + shown + "：" + parsed.why);
    }
}

void Service::Report()
{
    const int skipped = refusalLogs_.exchange(0) - kRefusalLogsPerMinute;
    if (skipped > 0)
        Log("另有 " + std::to_string(skipped) + " 条消息被拒收，未逐条记录");
    const WriterCounters &c = writer_.counters;
    Log("收到 " + std::to_string(received_.load()) + " 条消息，拒收 " + std::to_string(refused_.load()) +
        "，新写入 " + std::to_string(c.stored.load()) + " 行，重复 " + std::to_string(c.duplicates.load()) +
        "，过期 " + std::to_string(c.expired.load()) + "，缓冲丢弃 " + std::to_string(c.dropped.load()) +
        "，数据库拒收 " + std::to_string(c.refusedByDatabase.load()) + "，待写 " +
        std::to_string(writer_.Buffered()));
    if (config_.mail.Enabled()) {
        const MailerCounters &m = mailer_.counters;
        Log("邮件：已发 " + std::to_string(m.sent.load()) + " 封（汇总 " + std::to_string(m.digests.load()) + "），重试 " +
            std::to_string(m.retried.load()) + " 次，放弃 " + std::to_string(m.givenUp.load()) + " 封，丢弃报警 " +
            std::to_string(m.dropped.load()) + " 条");
    }
}

}  // namespace tav::plant
