#include "record/GbkText.h"

#include <iconv.h>

#include <vector>

namespace tav {

std::string Utf8ToGbk(const std::string &utf8)
{
    iconv_t cd = ::iconv_open("GBK", "UTF-8");
    if (cd == iconv_t(-1))
        return utf8;
    std::vector<char> out(utf8.size() * 2 + 16);
    char *in = const_cast<char *>(utf8.data());
    size_t inLeft = utf8.size();
    char *dst = out.data();
    size_t outLeft = out.size();
    size_t rc = ::iconv(cd, &in, &inLeft, &dst, &outLeft);
    ::iconv_close(cd);
    if (rc == size_t(-1) || inLeft != 0)
        return utf8;
    return std::string(out.data(), size_t(dst - out.data()));
}

}  // namespace tav
