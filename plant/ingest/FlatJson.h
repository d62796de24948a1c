#pragma once
// A quick reader for the messages the historian takes most: one object whose
// members are plain values or objects of plain values (a steady message),
// parsed by simdjson. It answers only where the whole-document parser would
// read the text the same way; anything else (an escape, a repeated key, an
// integer beyond 64 bits, a negative zero, a parse error) makes it step aside,
// and the message goes the long way. One reader per thread: its parser and
// storage are reused.
#include <simdjson.h>

#include <cstdint>
#include <string_view>
#include <vector>

namespace tav::plant {

// One value as the message's checks see it.
struct Value {
    enum Kind { kMissing, kNull, kBool, kInt, kUInt, kDouble, kString, kObject, kOther };
    Kind kind = kMissing;
    bool b = false;
    int64_t i = 0;   // kInt; kObject: the object's index in its reader
    uint64_t u = 0;  // kUInt
    double d = 0;    // kDouble
    std::string_view s;  // kString: its bytes (no escapes)
    bool IsNumber() const { return kind == kInt || kind == kUInt || kind == kDouble; }
    double AsDouble() const { return kind == kInt ? double(i) : kind == kUInt ? double(u) : d; }
};

class FlatJson {
public:
    // Handle of an object: 0 the top one, then the members' objects.
    struct Object {
        const FlatJson *doc = nullptr;
        int32_t index = -1;
    };
    // False: not read here (the text may still be valid JSON). Objects and
    // arrays nested deeper than `maxDepth` (the outer object being 1) are
    // not read either.
    bool Read(std::string_view text, int maxDepth);
    Object Top() const { return {this, 0}; }
    Value Get(Object obj, std::string_view key) const;

private:
    struct Member {
        int32_t object;
        uint32_t tag;  // Tag(key): most keys that differ differ here
        int32_t previous;  // the object's member before this one, or -1
        std::string_view key;
        Value value;
    };
    static uint32_t Tag(std::string_view key)
    {
        return key.empty() ? 0
                           : uint32_t(key.size() & 0xffff) << 16 | uint32_t(uint8_t(key.front())) << 8 |
                                 uint8_t(key.back());
    }
    bool Members(simdjson::dom::object object, int32_t index, int depth);
    bool Scalar(simdjson::dom::element e, Value *out) const;
    bool Within(simdjson::dom::element e, int depth) const;
    simdjson::dom::parser parser_;
    int maxDepth_ = 0;
    int32_t objects_ = 0;
    std::vector<Member> members_;
    std::vector<int32_t> lastMember_;  // per object, or -1
    // Where the last lookup ended: the checks ask in about the order the
    // station writes, so the next key is usually the next member.
    mutable size_t cursor_ = 0;
};

// Lookups the message's checks use on either document.
inline Value Lookup(const FlatJson::Object &obj, const char *key)
{
    return obj.doc->Get(obj, key);
}

}  // namespace tav::plant
