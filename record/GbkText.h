#pragma once
// UTF-8 to GBK (code page 936) for the text files the station writes.
#include <string>

namespace tav {

// Converts `utf8` to GBK through iconv. Characters GBK lacks cannot occur in
// the station's own texts; if conversion fails the UTF-8 bytes are returned
// unchanged so that nothing is silently dropped.
std::string Utf8ToGbk(const std::string &utf8);

}  // namespace tav
