#include "plant/ingest/FlatJson.h"

#include <cmath>
#include <cstring>

namespace tav::plant {

namespace {

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
    // Escapes are rare in a station's messages and not worth reading here;
    // a byte order mark is not JSON to the whole-document parser.
    if (std::memchr(text.data(), '\\', text.size()) || (text.size() >= 3 && std::memcmp(text.data(), "\xEF\xBB\xBF", 3) == 0))
        return false;
    simdjson::dom::element top;
    if (parser_.parse(text.data(), text.size(), true).get(top) != simdjson::SUCCESS)
        return false;
    simdjson::dom::object object;
    if (top.get_object().get(object) != simdjson::SUCCESS)
        return false;
    objects_ = 1;
    lastMember_.push_back(-1);
    return Members(object, 0, 1);
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

// An object's members: plain values and, one level down, objects are kept;
// anything deeper only has its depth checked.
bool FlatJson::Members(simdjson::dom::object object, int32_t index, int depth)
{
    for (const simdjson::dom::key_value_pair field : object) {
        const std::string_view key = field.key;
        Value value;
        const simdjson::dom::element_type type = field.value.type();
        if (type == simdjson::dom::element_type::OBJECT && depth < 2) {
            value.kind = Value::kObject;
            value.i = objects_++;
            lastMember_.push_back(-1);
            if (!Members(simdjson::dom::object(field.value), int32_t(value.i), depth + 1))
                return false;
        } else if (type == simdjson::dom::element_type::OBJECT || type == simdjson::dom::element_type::ARRAY) {
            if (!Within(field.value, depth + 1))
                return false;
            value.kind = Value::kOther;
        } else if (!Scalar(field.value, &value)) {
            return false;
        }
        // A repeated key: the whole-document parser decides which one counts.
        const uint32_t tag = Tag(key);
        for (int32_t k = lastMember_[index]; k >= 0; k = members_[k].previous)
            if (members_[k].tag == tag && members_[k].key == key)
                return false;
        members_.push_back({index, tag, lastMember_[index], key, value});
        lastMember_[index] = int32_t(members_.size() - 1);
    }
    return true;
}

// Whether an object or array at `depth` (the outer object being 1) and
// everything in it lie within the depth limit.
bool FlatJson::Within(simdjson::dom::element e, int depth) const
{
    if (depth > maxDepth_)
        return false;
    if (e.type() == simdjson::dom::element_type::ARRAY) {
        for (const simdjson::dom::element item : simdjson::dom::array(e))
            if (item.is_object() || item.is_array() ? !Within(item, depth + 1) : false)
                return false;
    } else {
        for (const simdjson::dom::key_value_pair field : simdjson::dom::object(e))
            if (field.value.is_object() || field.value.is_array() ? !Within(field.value, depth + 1) : false)
                return false;
    }
    return true;
}

bool FlatJson::Scalar(simdjson::dom::element e, Value *out) const
{
    switch (e.type()) {
    case simdjson::dom::element_type::STRING: out->kind = Value::kString; out->s = std::string_view(e); return true;
    case simdjson::dom::element_type::BOOL: out->kind = Value::kBool; out->b = bool(e); return true;
    case simdjson::dom::element_type::NULL_VALUE: out->kind = Value::kNull; return true;
    case simdjson::dom::element_type::INT64: out->kind = Value::kInt; out->i = int64_t(e); return true;
    case simdjson::dom::element_type::DOUBLE:
        out->kind = Value::kDouble;
        out->d = double(e);
        // "-0" is an integer to the whole-document parser, a double here;
        // a number beyond double's range is the whole-document parser's to judge.
        return std::isfinite(out->d) && !(out->d == 0 && std::signbit(out->d));
    default: return false;  // an integer beyond int64: the long way
    }
}

}  // namespace tav::plant
