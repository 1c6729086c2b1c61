// The text pieces `vcam info` is printed with, on the host (Info) and on a
// Windows PC (DeviceInfo): one field per line, indented by tabs, numbers in
// decimal or as 32-bit hexadecimal.
#pragma once

#include <cstdio>
#include <string>

namespace vcam::infotext {

inline void Field(std::FILE* out, int depth, const char* name, const std::string& value) {
    std::fprintf(out, "%.*s%-26s: %s\n", depth, "\t\t\t", name, value.c_str());
}

inline std::string Num(long long value) {
    return std::to_string(value);
}

inline std::string Hex(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "0x%08llX", value);
    return text;
}

}  // namespace vcam::infotext
