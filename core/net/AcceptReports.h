#pragma once
// What the accept thread tells the operator about connections it cannot
// take, without flooding: failures of accept itself (descriptors used up
// above all) and connections refused by the allow list.
//
// Accept thread only; times are seconds on a monotonic clock.
#include <cstdint>
#include <string>
#include <unordered_map>

namespace tav {

class AcceptTrouble {
public:
    static constexpr double kLogInterval = 60;
    // While accept fails for want of descriptors or memory, the listening
    // socket is left alone this long between attempts: the waiting
    // connection stays in the backlog and is taken once descriptors free up.
    static constexpr double kExhaustedBackoff = 0.25;
    static constexpr double kOtherBackoff = 0.1;

    enum class Kind {
        Retry,      // the peer went away before accept, or a signal: try again at once
        Exhausted,  // descriptors or kernel memory used up
        Other,
    };
    static Kind Classify(int err);

    struct Report {
        bool message = false;     // the operator's one message box (text)
        bool acceptBox = false;   // the window's own box for other accept errors
        bool logLine = false;     // a connection-log line (text)
        std::string text;
        double backoff = 0;       // seconds before listening again
    };
    Report Failed(int err, double now);
    // A connection was accepted: after a failure spell, the line that says so.
    // Empty when there is nothing to say.
    std::string Succeeded();

    bool Exhausted() const { return inSpell_; }

private:
    bool messageShown_ = false;
    bool otherShown_ = false;
    bool inSpell_ = false;
    double lastLog_ = 0;
    uint64_t failuresSinceLog_ = 0;
    uint64_t spellFailures_ = 0;
};

// A refused address gets a log line at most once a minute; the lines in
// between are counted and the count goes into the next line.
class RefusalLog {
public:
    static constexpr double kInterval = 60;
    static constexpr size_t kMaxAddresses = 4096;

    // True when a line is due for `address`; *suppressed then holds the
    // refusals since its previous line that had none.
    bool Due(uint32_t address, double now, uint64_t *suppressed);

private:
    struct Entry {
        double lastLine = 0;
        uint64_t suppressed = 0;
    };
    std::unordered_map<uint32_t, Entry> entries_;
};

}  // namespace tav
