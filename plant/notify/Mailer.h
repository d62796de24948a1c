#pragma once
// The mail thread: takes the alarm events the writer stored, sends each to
// the addresses its rules name through the mail server, and keeps every
// address to at most digest_after mails per digest_window_s; what comes
// beyond waits and goes as one digest when the window allows. A failed
// delivery is tried again with a growing pause, and given up (logged)
// after retry_attempts tries. Nothing here waits the writer.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "plant/config/MailConfig.h"
#include "plant/store/Store.h"

namespace tav::plant {

struct MailerCounters {
    std::atomic<int64_t> sent{0};      // mails the server took
    std::atomic<int64_t> digests{0};   // of them, digests
    std::atomic<int64_t> retried{0};   // failed tries followed by another
    std::atomic<int64_t> givenUp{0};  // mails not delivered after every try
    std::atomic<int64_t> dropped{0};   // alarms lost to the queue's bound
};

class Mailer {
public:
    explicit Mailer(const MailConfig &config);
    ~Mailer();
    Mailer(const Mailer &) = delete;
    Mailer &operator=(const Mailer &) = delete;

    void Start();
    // Sends what waits (digests at once, each mail one more try) for up to
    // `flushMs`, then ends the thread; what is left is logged as unsent.
    void Stop(int flushMs);
    // Any thread; never waits on the mail server.
    void Take(std::vector<StoredAlarm> &&alarms);

    MailerCounters counters;

private:
    struct Outgoing {
        std::string to, subject, text;
        int tries = 0;
        int64_t dueMs = 0;
        bool digest = false;
    };
    struct Recipient {
        std::deque<int64_t> sentMs;    // mails within the window
        std::vector<StoredAlarm> held;  // waiting for the digest
        int64_t heldTotal = 0;
    };

    void Run();
    void Route(const StoredAlarm &alarm, int64_t nowMs);
    // Digests whose window allows a mail now (all of them when `all`);
    // returns the earliest time another is due.
    int64_t ReleaseDigests(int64_t nowMs, bool all);
    // One try; true when the mail is done with (sent or given up).
    bool Deliver(Outgoing &mail, int64_t nowMs);

    const MailConfig &config_;
    std::mutex mutex_;  // guards incoming_, stopping_ and stopDeadlineMs_
    std::condition_variable wake_;
    std::deque<StoredAlarm> incoming_;
    bool stopping_ = false;
    int64_t stopDeadlineMs_ = 0;
    int64_t lastDropLogMs_ = 0;
    // The mail thread's own.
    std::map<std::string, Recipient> recipients_;
    std::deque<Outgoing> outbox_;
    std::thread thread_;
};

// One message to one address through the configured server; false with
// *error (the server's or the library's words, never the password).
bool SendMail(const MailConfig &config, const std::string &to, const std::string &message, std::string *error);

}  // namespace tav::plant
