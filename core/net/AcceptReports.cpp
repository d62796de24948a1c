#include "core/net/AcceptReports.h"

#include "core/net/ErrorTexts.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iterator>

namespace tav {

namespace {
const char *Why(int err)
{
    switch (err) {
    case EMFILE:
        return "本进程打开的文件数已达上限";
    case ENFILE:
        return "系统打开的文件数已达上限";
    default:
        return "系统内存不足";
    }
}
}  // namespace

AcceptTrouble::Kind AcceptTrouble::Classify(int err)
{
    switch (err) {
    case EINTR:
    case EAGAIN:
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK:
#endif
    // Network errors that belong to the connection, not to the listening
    // socket: the connection is gone, the next one may be fine.
    case ECONNABORTED:
    case EPROTO:
    case ENOPROTOOPT:
    case ENETDOWN:
    case ENETUNREACH:
    case EHOSTDOWN:
    case EHOSTUNREACH:
    case EOPNOTSUPP:
    case ENONET:
    case EPERM:
        return Kind::Retry;
    case EMFILE:
    case ENFILE:
    case ENOBUFS:
    case ENOMEM:
        return Kind::Exhausted;
    default:
        return Kind::Other;
    }
}

AcceptTrouble::Report AcceptTrouble::Failed(int err, double now)
{
    Report r;
    const Kind kind = Classify(err);
    if (kind == Kind::Retry)
        return r;
    r.backoff = kind == Kind::Exhausted ? kExhaustedBackoff : kOtherBackoff;
    ++failuresSinceLog_;
    ++spellFailures_;
    const bool newSpell = !inSpell_;
    inSpell_ = true;
    char text[320];
    if (kind == Kind::Exhausted && !messageShown_) {
        messageShown_ = true;
        std::snprintf(text, sizeof text,
                      "%s，暂时无法接受新的传感器连接。已连接的传感器照常工作；等待中的连接在资源释放后自动接受。",
                      Why(err));
        r.message = true;
        r.text = text;
    } else if (kind == Kind::Other && !otherShown_) {
        otherShown_ = true;
        r.acceptBox = true;
    } else if (newSpell || now - lastLog_ >= kLogInterval) {
        std::snprintf(text, sizeof text, "仍无法接受新连接：%s（errno=%d），上次报告以来%llu次",
                      kind == Kind::Exhausted ? Why(err) : SystemErrorText(err).c_str(), err,
                      static_cast<unsigned long long>(failuresSinceLog_));
        r.logLine = true;
        r.text = text;
    } else {
        return r;
    }
    lastLog_ = now;
    failuresSinceLog_ = 0;
    return r;
}

std::string AcceptTrouble::Succeeded()
{
    if (!inSpell_)
        return "";
    inSpell_ = false;
    char text[160];
    std::snprintf(text, sizeof text, "已恢复接受新连接（此前失败%llu次）", static_cast<unsigned long long>(spellFailures_));
    spellFailures_ = 0;
    failuresSinceLog_ = 0;
    return text;
}

bool RefusalLog::Due(uint32_t address, double now, uint64_t *suppressed)
{
    if (entries_.size() >= kMaxAddresses) {
        // A sweep of many addresses: forget those quiet for a minute.
        for (auto it = entries_.begin(); it != entries_.end();)
            it = now - it->second.lastLine >= kInterval ? entries_.erase(it) : std::next(it);
    }
    if (entries_.size() >= kMaxAddresses && !entries_.count(address))
        return false;
    auto [it, fresh] = entries_.try_emplace(address);
    Entry &e = it->second;
    if (!fresh && now - e.lastLine < kInterval) {
        ++e.suppressed;
        return false;
    }
    *suppressed = e.suppressed;
    e.suppressed = 0;
    e.lastLine = now;
    return true;
}

}  // namespace tav
