#pragma once
// The steady-state CSV log: while logging is on, one file per record and one
// row per record and tick ("存储" starts, "停止" stops).
//
// Thread rule: window thread only (button handlers and the 500 ms tick).
#include <ctime>
#include <functional>
#include <string>
#include <vector>

#include "core/steady/SteadyTable.h"

namespace tav {

// Title of a series' column in the log's header (UTF-8): "X轴加速度有效值" ... "rpm".
std::string SteadyColumnTitle(int series);

class SteadyLog : public SteadyRowSink {
public:
    // Wall clock for file names and row stamps (local time); tests inject one.
    using Clock = std::function<std::time_t()>;

    explicit SteadyLog(SteadyTable &steady, Clock clock = {});
    ~SteadyLog() override;
    SteadyLog(const SteadyLog &) = delete;
    SteadyLog &operator=(const SteadyLog &) = delete;

    // "存储": opens the files of every bound, connected sensor in `folder`
    // (an explicit path; the working folder is never changed) and switches
    // logging on. Returns texts for the operator, usually none.
    std::vector<std::string> Start(const ConnectionTable &table, const std::string &folder);
    // "停止": closes every open file and switches logging off. Returns texts
    // for the operator (a failed final write), usually none.
    std::vector<std::string> Stop();
    bool Logging() const { return logging_; }

    // Path of the record's open file, or "" when none is open.
    const std::string &FilePath(int recordIndex) const { return path_[recordIndex]; }

    // SteadyRowSink, called by the tick.
    void WriteRow(int recordIndex) override;
    void RecordTakenOver(int recordIndex) override;
    void EndTick(std::vector<std::string> *messages) override;

    // The header line as written (GBK, CR LF).
    const std::string &Header() const { return header_; }

private:
    bool Open(int recordIndex);
    void Close(int recordIndex);
    void Report(int recordIndex, const std::string &text);
    void TakeMessages(std::vector<std::string> *messages);
    std::time_t Now() const;

    SteadyTable &steady_;
    Clock clock_;
    std::string folder_;
    std::string header_;
    bool logging_ = false;
    std::string path_[kSteadyRecordCount];
    std::time_t lastFlush_[kSteadyRecordCount] = {};
    // Each failing file is reported once per logging run.
    bool reported_[kSteadyRecordCount] = {};
    std::vector<std::string> pending_;
};

}  // namespace tav
