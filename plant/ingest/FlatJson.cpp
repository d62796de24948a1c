#include "plant/ingest/FlatJson.h"

#include <charconv>
#include <cstring>

namespace tav::plant {

namespace {

// Integers of up to 18 digits fit int64 whatever they are.
constexpr long kMaxIntDigits = 18;
constexpr size_t kKeptMembers = 1024;

}  // namespace

bool FlatJson::Read(std::string_view text, int maxDepth)
{
    maxDepth_ = maxDepth;
    // A steady message has some fifty members; a freak one does not keep
    // its storage for the rest of the thread's life.
    if (members_.capacity() > kKeptMembers)
        members_ = {};
    members_.clear();
    lastMember_.clear();
    objects_ = 0;
    cursor_ = 0;
    // Escapes are rare in a station's messages and not worth reading here.
    if (std::memchr(text.data(), '\\', text.size()))
        return false;
    at_ = text.data();
    end_ = at_ + text.size();
    Space();
    if (at_ == end_ || *at_ != '{')
        return false;
    ++at_;
    objects_ = 1;
    lastMember_.push_back(-1);
    if (!Members(0, 1))
        return false;
    Space();
    return at_ == end_;
}

// Keys are unique within an object (Read makes sure), so the first match
// from anywhere is the only one.
Value FlatJson::Get(Object obj, std::string_view key) const
{
    const uint32_t tag = Tag(key);
    const size_t n = members_.size();
    for (size_t k = 0; k < n; ++k) {
        const size_t at = cursor_ + k < n ? cursor_ + k : cursor_ + k - n;
        const Member &m = members_[at];
        if (m.tag == tag && m.object == obj.index && m.key == key) {
            cursor_ = at + 1 < n ? at + 1 : 0;
            return m.value;
        }
    }
    return {};
}

// After an object's '{': its members up to its '}'. Plain values and, one
// level down, objects are kept; anything deeper is checked and passed over.
bool FlatJson::Members(int32_t object, int depth)
{
    Space();
    if (at_ < end_ && *at_ == '}') {
        ++at_;
        return true;
    }
    for (;;) {
        Space();
        std::string_view key;
        if (!String(&key))
            return false;
        Space();
        if (at_ == end_ || *at_ != ':')
            return false;
        ++at_;
        Space();
        if (at_ == end_)
            return false;
        Value value;
        if (*at_ == '{' && depth < 2) {
            ++at_;
            value.kind = Value::kObject;
            value.i = objects_++;
            lastMember_.push_back(-1);
            if (!Members(int32_t(value.i), depth + 1))
                return false;
        } else if (*at_ == '{' || *at_ == '[') {
            if (!Skip(depth))
                return false;
            value.kind = Value::kOther;
        } else if (!Scalar(&value)) {
            return false;
        }
        // A repeated key: the whole-document parser decides which one counts.
        const uint32_t tag = Tag(key);
        for (int32_t k = lastMember_[object]; k >= 0; k = members_[k].previous)
            if (members_[k].tag == tag && members_[k].key == key)
                return false;
        members_.push_back({object, tag, lastMember_[object], key, value});
        lastMember_[object] = int32_t(members_.size() - 1);
        Space();
        if (at_ == end_)
            return false;
        if (*at_ == '}') {
            ++at_;
            return true;
        }
        if (*at_ != ',')
            return false;
        ++at_;
    }
}

// Any value, checked and not kept.
// `depth`: the enclosing object's or array's.
bool FlatJson::Skip(int depth)
{
    if (at_ == end_)
        return false;
    const char open = *at_;
    if (open != '{' && open != '[') {
        Value ignored;
        return Scalar(&ignored);
    }
    if (depth + 1 > maxDepth_)
        return false;
    const char close = open == '{' ? '}' : ']';
    ++at_;
    Space();
    if (at_ < end_ && *at_ == close) {
        ++at_;
        return true;
    }
    for (;;) {
        Space();
        if (open == '{') {
            std::string_view key;
            if (!String(&key))
                return false;
            Space();
            if (at_ == end_ || *at_ != ':')
                return false;
            ++at_;
            Space();
        }
        if (!Skip(depth + 1))
            return false;
        Space();
        if (at_ == end_)
            return false;
        if (*at_ == close) {
            ++at_;
            return true;
        }
        if (*at_ != ',')
            return false;
        ++at_;
    }
}

bool FlatJson::Scalar(Value *out)
{
    if (at_ == end_)
        return false;
    auto word = [&](std::string_view w) {
        if (size_t(end_ - at_) < w.size() || std::memcmp(at_, w.data(), w.size()) != 0)
            return false;
        at_ += w.size();
        return true;
    };
    switch (*at_) {
    case '"': out->kind = Value::kString; return String(&out->s);
    case 't': out->kind = Value::kBool; out->b = true; return word("true");
    case 'f': out->kind = Value::kBool; out->b = false; return word("false");
    case 'n': out->kind = Value::kNull; return word("null");
    default: return Number(out);
    }
}

// A string without escapes: no control characters, well-formed UTF-8.
bool FlatJson::String(std::string_view *out)
{
    if (at_ == end_ || *at_ != '"')
        return false;
    const char *start = ++at_;
    auto in = [&](size_t k, unsigned lo, unsigned hi) {
        if (size_t(end_ - at_) <= k)
            return false;
        const unsigned c = static_cast<unsigned char>(at_[k]);
        return c >= lo && c <= hi;
    };
    while (at_ < end_) {
        const unsigned c = static_cast<unsigned char>(*at_);
        if (c == '"') {
            *out = std::string_view(start, size_t(at_ - start));
            ++at_;
            return true;
        }
        if (c < 0x20)
            return false;
        if (c < 0x80) {
            ++at_;
            continue;
        }
        size_t n = 0;
        if (c >= 0xC2 && c <= 0xDF)
            n = in(1, 0x80, 0xBF) ? 2 : 0;
        else if (c == 0xE0)
            n = in(1, 0xA0, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
        else if ((c >= 0xE1 && c <= 0xEC) || c == 0xEE || c == 0xEF)
            n = in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) ? 3 : 0;
        else if (c == 0xED)
            n = in(1, 0x80, 0x9F) && in(2, 0x80, 0xBF) ? 3 : 0;
        else if (c == 0xF0)
            n = in(1, 0x90, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
        else if (c >= 0xF1 && c <= 0xF3)
            n = in(1, 0x80, 0xBF) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
        else if (c == 0xF4)
            n = in(1, 0x80, 0x8F) && in(2, 0x80, 0xBF) && in(3, 0x80, 0xBF) ? 4 : 0;
        if (n == 0)
            return false;
        at_ += n;
    }
    return false;
}

// JSON's number grammar; integers that fit int64 for certain, and numbers
// with a fraction or exponent that read exactly as a double. Others (larger
// integers, out of range) are left to the whole-document parser.
bool FlatJson::Number(Value *out)
{
    const char *start = at_;
    auto digits = [&] {
        const char *from = at_;
        while (at_ < end_ && *at_ >= '0' && *at_ <= '9')
            ++at_;
        return at_ - from;
    };
    if (at_ < end_ && *at_ == '-')
        ++at_;
    if (at_ == end_)
        return false;
    long intDigits = 0;
    if (*at_ == '0') {
        ++at_;
        intDigits = 1;
    } else if (*at_ >= '1' && *at_ <= '9') {
        intDigits = digits();
    } else {
        return false;
    }
    bool integer = true;
    if (at_ < end_ && *at_ == '.') {
        ++at_;
        if (digits() == 0)
            return false;
        integer = false;
    }
    if (at_ < end_ && (*at_ == 'e' || *at_ == 'E')) {
        ++at_;
        if (at_ < end_ && (*at_ == '+' || *at_ == '-'))
            ++at_;
        if (digits() == 0)
            return false;
        integer = false;
    }
    if (integer) {
        if (intDigits > kMaxIntDigits)
            return false;
        out->kind = Value::kInt;
        const auto r = std::from_chars(start, at_, out->i);
        return r.ec == std::errc() && r.ptr == at_;
    }
    out->kind = Value::kDouble;
    const auto r = std::from_chars(start, at_, out->d);
    return r.ec == std::errc() && r.ptr == at_;
}

}  // namespace tav::plant
