#pragma once
// The running text log of connection events: one line per event, with a
// count per kind of event over all connections since start and the local
// time of day. Only the most recent kMaxLines lines are kept, so that a
// flapping sensor cannot grow it without end.
//
// Window thread only (it handles the posted connection events); reads the
// table's last receive length and time, which are atomics.
#include <cstdint>
#include <ctime>
#include <deque>
#include <string>

#include "core/net/ConnectionTable.h"

namespace tav {

class ConnectionLog {
public:
    static constexpr size_t kMaxLines = 10000;

    explicit ConnectionLog(const ConnectionTable &table) : table_(table) {}

    // Appends the lines for one connection event: `ret` is the receive
    // result, `code` the event code 1..4, `now` the local time of the event.
    // Returns the number of lines appended (0 for an unknown code).
    int OnConnectionEvent(int64_t ret, int64_t code, std::time_t now);
    // Appends a line of the station's own (allocation failure, dropped
    // bytes) followed by the time of day in the style of the event lines.
    void AppendNote(const std::string &text, std::time_t now);

    // Oldest first, without line ends.
    const std::deque<std::string> &Lines() const { return lines_; }
    // The log as the edit box holds it: every line followed by "\r\n".
    std::string Text() const;
    // Lines appended since start, including those dropped from the top.
    uint64_t TotalAppended() const { return totalAppended_; }

    int AbnormalCloses() const { return abnormalCloses_; }
    int TransientErrors() const { return transientErrors_; }
    int PeerCloses() const { return peerCloses_; }
    int Established() const { return established_; }

private:
    void Append(std::string line);

    const ConnectionTable &table_;
    std::deque<std::string> lines_;
    uint64_t totalAppended_ = 0;
    int abnormalCloses_ = 0;
    int transientErrors_ = 0;
    int peerCloses_ = 0;
    int established_ = 0;
};

}  // namespace tav
