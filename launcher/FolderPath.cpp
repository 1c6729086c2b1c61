#include "FolderPath.h"

#include <stdint.h>

namespace {

bool IsAsciiLetter(char16_t unit) {
    return (unit >= u'A' && unit <= u'Z') || (unit >= u'a' && unit <= u'z');
}

// Whether text[0, length) is the ASCII name, upper case, in any case.
bool IsName(const char16_t* text, uint32_t length, const char* name) {
    uint32_t i = 0;
    for (; i < length && name[i] != 0; ++i) {
        const char16_t unit =
            text[i] >= u'a' && text[i] <= u'z' ? text[i] - (u'a' - u'A') : text[i];
        if (unit != static_cast<char16_t>(name[i])) {
            return false;
        }
    }
    return i == length && name[i] == 0;
}

// Characters Windows forbids in a file or folder name: the control characters and
// < > : " / \ | ? *. The backslash separates names and the colon follows the drive letter;
// both are handled by IsLocalAbsoluteFolder.
bool IsForbiddenInName(char16_t unit) {
    if (unit < 0x20) {
        return true;
    }
    switch (unit) {
        case u'<':
        case u'>':
        case u':':
        case u'"':
        case u'/':
        case u'|':
        case u'?':
        case u'*':
            return true;
        default:
            return false;
    }
}

// Whether the name [begin, end) is one Windows reserves for a device (CON, PRN, AUX, NUL,
// COM0-9, LPT0-9 and their superscript 1-3 forms, CONIN$, CONOUT$), in any case and with or
// without an extension: Windows compares the part before the first dot, trailing spaces
// dropped, so "nul.txt" and "COM1 .exe" name devices too.
bool IsDeviceName(const char16_t* begin, const char16_t* end) {
    const char16_t* stemEnd = begin;
    while (stemEnd != end && *stemEnd != u'.') {
        ++stemEnd;
    }
    while (stemEnd != begin && stemEnd[-1] == u' ') {
        --stemEnd;
    }
    const uint32_t length = static_cast<uint32_t>(stemEnd - begin);
    if (IsName(begin, length, "CON") || IsName(begin, length, "PRN") ||
        IsName(begin, length, "AUX") || IsName(begin, length, "NUL") ||
        IsName(begin, length, "CONIN$") || IsName(begin, length, "CONOUT$")) {
        return true;
    }
    if (length == 4 && (IsName(begin, 3, "COM") || IsName(begin, 3, "LPT"))) {
        const char16_t digit = begin[3];
        return (digit >= u'0' && digit <= u'9') || digit == u'\u00B9' || digit == u'\u00B2' ||
               digit == u'\u00B3';
    }
    return false;
}

}  // namespace

bool FolderPath::IsLocalAbsolute(const char16_t* folder) {
    if (!IsAsciiLetter(folder[0]) || folder[1] != u':' || folder[2] != u'\\') {
        return false;
    }
    const char16_t* name = folder + 3;
    for (const char16_t* at = name;; ++at) {
        const char16_t unit = *at;
        if (unit != u'\\' && unit != 0) {
            if (IsForbiddenInName(unit)) {
                return false;
            }
            continue;
        }
        if (at == name) {
            // Empty: the end after a backslash (or the root) is fine, a doubled one is not.
            return unit == 0;
        }
        if (at[-1] == u'.' || at[-1] == u' ' || IsDeviceName(name, at)) {
            return false;
        }
        if (unit == 0) {
            return true;
        }
        name = at + 1;
    }
}
