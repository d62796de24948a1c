#pragma once
// A limit or baseline as the notes of a settings edit name it: "未设" for
// none, else the number as written.
#include <cmath>
#include <cstdio>
#include <string>

namespace tav {

inline std::string LimitText(double v)
{
    if (!std::isfinite(v))
        return "未设";
    char text[32];
    std::snprintf(text, sizeof text, "%g", v);
    return text;
}

}  // namespace tav
