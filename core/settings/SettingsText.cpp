// Escaping and encoding checks of station.toml's text ahead of the TOML reader.
#include "core/settings/SettingsText.h"

#include <cstdint>
#include <cstdio>

namespace tav::settings_text {

namespace {

bool Unsafe(uint32_t cp) { return (cp >= 0xA1 && cp <= 0x499) || (cp >= 0xFB26 && cp <= 0xFEFE); }

// The code point of the (well-formed) UTF-8 sequence at text[i] and its
// length in bytes.
uint32_t CodePointAt(const std::string &text, size_t i, size_t *length)
{
    const auto lead = static_cast<unsigned char>(text[i]);
    const size_t n = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
    uint32_t cp = n == 1 ? lead : lead & (0x7Fu >> n);
    size_t k = 1;
    for (; k < n && i + k < text.size(); ++k)
        cp = cp << 6 | (static_cast<unsigned char>(text[i + k]) & 0x3Fu);
    *length = k;
    return cp;
}

// The body of a '...' string as the body of a "..." string.
std::string AsBasicBody(const std::string &body)
{
    std::string out;
    for (size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (static_cast<unsigned char>(c) >= 0x80) {
            size_t length = 1;
            const uint32_t cp = CodePointAt(body, i, &length);
            if (Unsafe(cp)) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(cp));
                out += escape;
            } else {
                out.append(body, i, length);
            }
            i += length - 1;
        } else {
            out += c;
        }
    }
    return out;
}

}  // namespace

int BadUtf8Line(const std::string &text)
{
    int line = 1;
    for (size_t i = 0; i < text.size();) {
        const auto b = static_cast<unsigned char>(text[i]);
        if (b == '\n')
            ++line;
        if (b < 0x80) {
            ++i;
            continue;
        }
        size_t n = 0;
        unsigned char low = 0x80, high = 0xBF;  // the second byte's range
        if (b >= 0xC2 && b <= 0xDF)
            n = 2;
        else if (b >= 0xE0 && b <= 0xEF)
            n = 3, low = b == 0xE0 ? 0xA0 : 0x80, high = b == 0xED ? 0x9F : 0xBF;
        else if (b >= 0xF0 && b <= 0xF4)
            n = 4, low = b == 0xF0 ? 0x90 : 0x80, high = b == 0xF4 ? 0x8F : 0xBF;
        if (n == 0 || i + n > text.size())
            return line;
        for (size_t k = 1; k < n; ++k) {
            const auto c = static_cast<unsigned char>(text[i + k]);
            if (c < (k == 1 ? low : 0x80) || c > (k == 1 ? high : 0xBF))
                return line;
        }
        i += n;
    }
    return 0;
}

ReaderText ForReader(const std::string &in)
{
    enum { kCode, kComment, kBasic, kLiteral, kMultiBasic, kMultiLiteral } state = kCode;
    ReaderText out;
    out.text = in;
    std::string &text = out.text;
    int line = 1;
    size_t opened = 0;     // where the string being read starts, its quotes included
    bool unsafe = false;   // a '...' string being read holds a character the reader mishandles
    auto refuse = [&](const char *why) {
        out.badLine = line;
        out.why = why;
        return out;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            if (state == kLiteral && unsafe)
                return refuse("单引号字符串没有在本行结束");
            ++line;
            if (state == kComment || state == kBasic || state == kLiteral)
                state = kCode;  // a one-line string cannot go on; the reader stops there
            continue;
        }
        if (static_cast<unsigned char>(c) >= 0x80) {
            size_t length = 1;
            const uint32_t cp = CodePointAt(text, i, &length);
            const bool basic = state == kBasic || state == kMultiBasic;
            if (state == kCode)
                return refuse("引号和注释以外不能有非ASCII字符");
            if (Unsafe(cp) && basic) {
                char escape[8];
                std::snprintf(escape, sizeof escape, "\\u%04X", unsigned(cp));
                text.replace(i, length, escape);
                i += 5;
                continue;
            }
            if (Unsafe(cp) && state == kComment)
                text.replace(i, length, length, '?');
            else if (Unsafe(cp))
                unsafe = true;
            i += length - 1;
            continue;
        }
        const bool triple = i + 2 < text.size() && text[i + 1] == c && text[i + 2] == c;
        // A closing triple quote may follow one or two quotes of the string's own.
        size_t run = 0;
        while (run < 5 && i + run < text.size() && text[i + run] == c)
            ++run;
        switch (state) {
        case kCode:
            if (c == '#') {
                state = kComment;
            } else if (c == '"' || c == '\'') {
                opened = i;
                unsafe = false;
                state = triple ? (c == '"' ? kMultiBasic : kMultiLiteral) : (c == '"' ? kBasic : kLiteral);
                if (triple)
                    i += 2;
            }
            break;
        case kComment:
            break;
        case kBasic:
        case kMultiBasic:
            if (c == '\\' && i + 1 < text.size()) {
                // An escape is ASCII; the backslash of a line-ending one is
                // left for the newline to be counted.
                if (static_cast<unsigned char>(text[i + 1]) >= 0x80)
                    return refuse("转义字符有误");
                if (text[i + 1] != '\n')
                    ++i;
            } else if (c == '"' && (state == kBasic || triple)) {
                i += state == kBasic ? 0 : run - 1;
                state = kCode;
            }
            break;
        case kLiteral:
        case kMultiLiteral:
            if (c == '\'' && (state == kLiteral || triple)) {
                const size_t quotes = state == kLiteral ? 1 : 3;
                const size_t close = state == kLiteral ? i : i + run - 3;  // where the closing quotes start
                if (unsafe) {
                    const std::string delimiter(quotes, '"');
                    const std::string body = text.substr(opened + quotes, close - opened - quotes);
                    const std::string basic = delimiter + AsBasicBody(body) + delimiter;
                    text.replace(opened, close + quotes - opened, basic);
                    i = opened + basic.size() - 1;
                } else {
                    i = close + quotes - 1;
                }
                state = kCode;
            }
            break;
        }
    }
    if ((state == kLiteral || state == kMultiLiteral) && unsafe)
        return refuse("单引号字符串没有结束");
    return out;
}

}  // namespace tav::settings_text
