#include "plant/notify/Mailer.h"

#include <curl/curl.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>

#include "core/base/ThreadName.h"
#include "plant/config/Log.h"
#include "plant/notify/MailText.h"
#include "plant/store/Writer.h"

namespace tav::plant {

namespace {

// Alarms a digest lists; beyond, it only counts them.
constexpr size_t kMaxListed = 200;
// Longest wait with nothing due, so that a clock step cannot stall the thread.
constexpr int64_t kIdleMs = 60000;

struct Upload {
    const std::string *text;
    size_t at = 0;
};

size_t ReadUpload(char *buffer, size_t size, size_t count, void *user)
{
    Upload *u = static_cast<Upload *>(user);
    const size_t n = std::min(size * count, u->text->size() - u->at);
    std::memcpy(buffer, u->text->data() + u->at, n);
    u->at += n;
    return n;
}

}  // namespace

bool SendMail(const MailConfig &config, const std::string &to, const std::string &message, std::string *error)
{
    CURL *curl = curl_easy_init();
    if (!curl) {
        *error = "无法初始化 libcurl";
        return false;
    }
    char errorText[CURL_ERROR_SIZE] = {};
    Upload upload{&message};
    const std::string from = "<" + config.from + ">";
    curl_slist *rcpt = curl_slist_append(nullptr, ("<" + to + ">").c_str());
    curl_easy_setopt(curl, CURLOPT_URL, config.url.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_FROM, from.c_str());
    curl_easy_setopt(curl, CURLOPT_MAIL_RCPT, rcpt);
    curl_easy_setopt(curl, CURLOPT_READFUNCTION, ReadUpload);
    curl_easy_setopt(curl, CURLOPT_READDATA, &upload);
    curl_easy_setopt(curl, CURLOPT_UPLOAD, 1L);
    curl_easy_setopt(curl, CURLOPT_ERRORBUFFER, errorText);
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT, 10L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
    // smtp:// goes on only after STARTTLS, unless the plant said otherwise:
    // a password or an alarm list in clear text crosses no network by default.
    if (config.url.rfind("smtp://", 0) == 0)
        curl_easy_setopt(curl, CURLOPT_USE_SSL, long(config.insecure ? CURLUSESSL_TRY : CURLUSESSL_ALL));
    if (config.insecure) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (!config.caFile.empty())
        curl_easy_setopt(curl, CURLOPT_CAINFO, config.caFile.c_str());
    if (!config.username.empty()) {
        curl_easy_setopt(curl, CURLOPT_USERNAME, config.username.c_str());
        curl_easy_setopt(curl, CURLOPT_PASSWORD, config.password.c_str());
    }
    const CURLcode result = curl_easy_perform(curl);
    if (result != CURLE_OK) {
        long code = 0;
        curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &code);
        *error = errorText[0] ? errorText : curl_easy_strerror(result);
        if (code)
            *error += "，服务器回复 " + std::to_string(code);
    }
    curl_slist_free_all(rcpt);
    curl_easy_cleanup(curl);
    return result == CURLE_OK;
}

Mailer::Mailer(const MailConfig &config) : config_(config) {}

Mailer::~Mailer() { Stop(0); }

void Mailer::Start()
{
    static std::once_flag once;
    std::call_once(once, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
    thread_ = std::thread([this] {
        NameThisThread("plant mail");
        Run();
    });
}

void Mailer::Stop(int flushMs)
{
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!stopping_) {
            stopping_ = true;
            stopDeadlineMs_ = NowUtcMs() + flushMs;
        }
    }
    wake_.notify_all();
    if (thread_.joinable())
        thread_.join();
}

void Mailer::Take(std::vector<StoredAlarm> &&alarms)
{
    int64_t dropped = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        for (StoredAlarm &a : alarms)
            if (MailWorthy(a))
                incoming_.push_back(std::move(a));
        while (incoming_.size() > size_t(config_.queueBound)) {
            incoming_.pop_front();
            ++dropped;
        }
        if (dropped) {
            counters.dropped += dropped;
            const int64_t now = NowUtcMs();
            if (now - lastDropLogMs_ >= 10000) {
                lastDropLogMs_ = now;
                Log("待发邮件的报警超过 " + std::to_string(config_.queueBound) + " 条，丢弃最早的，累计丢弃 " +
                    std::to_string(counters.dropped.load()) + " 条");
            }
        }
    }
    wake_.notify_one();
}

void Mailer::Route(const StoredAlarm &alarm, int64_t nowMs)
{
    const int64_t windowMs = int64_t(config_.digestWindowS) * 1000;
    for (const std::string &to : Recipients(config_.rules, alarm)) {
        Recipient &r = recipients_[to];
        while (!r.sentMs.empty() && r.sentMs.front() <= nowMs - windowMs)
            r.sentMs.pop_front();
        // Once one waits, the rest queue behind it: the order stays that of the alarms.
        if (r.heldTotal == 0 && r.sentMs.size() < size_t(config_.digestAfter)) {
            outbox_.push_back({to, AlarmSubject(alarm), AlarmMail(config_, to, alarm, nowMs), 0, nowMs, false});
            r.sentMs.push_back(nowMs);
            continue;
        }
        if (r.held.size() < kMaxListed)
            r.held.push_back(alarm);
        ++r.heldTotal;
    }
}

int64_t Mailer::ReleaseDigests(int64_t nowMs, bool all)
{
    const int64_t windowMs = int64_t(config_.digestWindowS) * 1000;
    int64_t next = INT64_MAX;
    for (auto &[to, r] : recipients_) {
        while (!r.sentMs.empty() && r.sentMs.front() <= nowMs - windowMs)
            r.sentMs.pop_front();
        if (r.heldTotal == 0)
            continue;
        if (!all && r.sentMs.size() >= size_t(config_.digestAfter)) {
            next = std::min(next, r.sentMs.front() + windowMs);
            continue;
        }
        if (r.heldTotal == 1)
            outbox_.push_back(
                {to, AlarmSubject(r.held[0]), AlarmMail(config_, to, r.held[0], nowMs), 0, nowMs, false});
        else
            outbox_.push_back({to, DigestSubject(r.held, r.heldTotal),
                               DigestMail(config_, to, r.held, r.heldTotal, nowMs), 0, nowMs, true});
        r.sentMs.push_back(nowMs);
        r.held.clear();
        r.heldTotal = 0;
    }
    return next;
}

bool Mailer::Deliver(Outgoing &mail, int64_t nowMs)
{
    std::string error;
    if (SendMail(config_, mail.to, mail.text, &error)) {
        ++counters.sent;
        if (mail.digest)
            ++counters.digests;
        Log("邮件已发给 " + mail.to + "：" + mail.subject);
        return true;
    }
    ++mail.tries;
    if (mail.tries >= config_.retryAttempts) {
        ++counters.givenUp;
        Log("邮件发给 " + mail.to + " 失败 " + std::to_string(mail.tries) + " 次（" + error + "），放弃：" +
            mail.subject);
        return true;
    }
    int64_t pauseS = config_.retryFirstS;
    for (int i = 1; i < mail.tries && pauseS < config_.retryMaxS; ++i)
        pauseS *= 2;
    pauseS = std::min<int64_t>(pauseS, config_.retryMaxS);
    mail.dueMs = nowMs + pauseS * 1000;
    ++counters.retried;
    Log("邮件发给 " + mail.to + " 失败（第 " + std::to_string(mail.tries) + " 次，" + error + "），" +
        std::to_string(pauseS) + " 秒后重试：" + mail.subject);
    return false;
}

void Mailer::Run()
{
    for (;;) {
        std::deque<StoredAlarm> taken;
        bool stopping;
        int64_t deadline;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            taken.swap(incoming_);
            stopping = stopping_;
            deadline = stopDeadlineMs_;
        }
        int64_t now = NowUtcMs();
        for (const StoredAlarm &a : taken)
            Route(a, now);
        int64_t next = ReleaseDigests(now, stopping);
        // Each due mail once per pass; a stop gives every mail one last try.
        for (size_t i = 0; i < outbox_.size();) {
            if (stopping && NowUtcMs() >= deadline)
                break;
            if (!stopping && outbox_[i].dueMs > now) {
                next = std::min(next, outbox_[i].dueMs);
                ++i;
                continue;
            }
            if (Deliver(outbox_[i], NowUtcMs()) || stopping) {
                outbox_.erase(outbox_.begin() + std::ptrdiff_t(i));
                continue;
            }
            next = std::min(next, outbox_[i].dueMs);
            ++i;
        }
        if (stopping) {
            if (!outbox_.empty())
                Log("停止时仍有 " + std::to_string(outbox_.size()) + " 封邮件未能发出");
            return;
        }
        now = NowUtcMs();
        std::unique_lock<std::mutex> lock(mutex_);
        wake_.wait_for(lock, std::chrono::milliseconds(std::clamp<int64_t>(next - now, 0, kIdleMs)),
                       [this] { return stopping_ || !incoming_.empty(); });
    }
}

}  // namespace tav::plant
