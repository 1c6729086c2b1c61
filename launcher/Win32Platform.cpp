#include "Win32Platform.h"

#include <windows.h>
#include <shellapi.h>

// char16_t and WCHAR are both two-byte UTF-16 units on Windows, so text is passed through
// by reinterpreting the pointer.
static_assert(sizeof(char16_t) == sizeof(WCHAR), "UTF-16 units must match WCHAR");
static_assert(sizeof(uint32_t) == sizeof(DWORD), "byte counts must match DWORD");

long Win32Platform::OpenUserKey(const char16_t* subKey, KeyHandle* key) {
    HKEY opened = nullptr;
    const LONG result =
        RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(subKey), 0, KEY_READ, &opened);
    *key = opened;
    return result;
}

long Win32Platform::QueryValue(KeyHandle key, const char16_t* name, void* data,
                               uint32_t* byteCount) {
    DWORD bytes = *byteCount;
    const LONG result = RegQueryValueExW(static_cast<HKEY>(key), reinterpret_cast<LPCWSTR>(name),
                                         nullptr, nullptr, static_cast<LPBYTE>(data), &bytes);
    *byteCount = bytes;
    return result;
}

void Win32Platform::CloseKey(KeyHandle key) {
    RegCloseKey(static_cast<HKEY>(key));
}

intptr_t Win32Platform::StartProgram(const char16_t* path) {
    const HINSTANCE result = ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(path),
                                           nullptr, nullptr, SW_SHOWMAXIMIZED);
    return reinterpret_cast<intptr_t>(result);
}

void Win32Platform::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}
