#pragma once
// station.toml's text made safe for the TOML reader before it sees it: the
// encoding checked and the characters it mishandles escaped. Internal to the
// settings module.
#include <string>

namespace tav::settings_text {

// The TOML reader in use classifies some characters (U+00A1..U+0499 and
// U+FB26..U+FEFE) through a path that is undefined behaviour, wherever they
// stand once the text around them is malformed. It never sees them raw: in
// comments they become '?', in "..." strings their \uXXXX escape (so a
// machine called "弯头 90°" keeps its name), and a '...' string holding one
// is handed over as the "..." string of the same text. A string that does
// not end on its line with one of them in it refuses the file, as any
// non-ASCII byte outside comments and strings does (TOML allows none there).
struct ReaderText {
    std::string text;
    int badLine = 0;  // 0 when the text can be read
    const char *why = "";
};
ReaderText ForReader(const std::string &in);

// The line of the first byte that is not well-formed UTF-8 (a file saved
// as GBK, say), or 0.
int BadUtf8Line(const std::string &text);

}  // namespace tav::settings_text
