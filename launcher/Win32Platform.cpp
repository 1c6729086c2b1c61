#include "Win32Platform.h"

#include <windows.h>
#include <shellapi.h>

// char16_t and WCHAR are both two-byte UTF-16 units on Windows, so text is passed through
// by reinterpreting the pointer.
static_assert(sizeof(char16_t) == sizeof(WCHAR), "UTF-16 units must match WCHAR");
static_assert(sizeof(uint32_t) == sizeof(DWORD), "byte counts must match DWORD");

// The interface's constants are the Win32 values.
static_assert(LauncherPlatform::kTypeString == REG_SZ, "REG_SZ");
static_assert(LauncherPlatform::kTypeExpandString == REG_EXPAND_SZ, "REG_EXPAND_SZ");
static_assert(LauncherPlatform::kInvalidAttributes == INVALID_FILE_ATTRIBUTES,
              "INVALID_FILE_ATTRIBUTES");
static_assert(LauncherPlatform::kAttributeDirectory == FILE_ATTRIBUTE_DIRECTORY,
              "FILE_ATTRIBUTE_DIRECTORY");
static_assert(LauncherPlatform::kAttributeDevice == FILE_ATTRIBUTE_DEVICE, "FILE_ATTRIBUTE_DEVICE");
static_assert(LauncherPlatform::kSearchSystem32 == 0x800, "LOAD_LIBRARY_SEARCH_SYSTEM32");

long Win32Platform::OpenUserKey(const char16_t* subKey, KeyHandle* key) {
    HKEY opened = nullptr;
    const LONG result =
        RegOpenKeyExW(HKEY_CURRENT_USER, reinterpret_cast<LPCWSTR>(subKey), 0, KEY_READ, &opened);
    *key = opened;
    return result;
}

long Win32Platform::QueryValue(KeyHandle key, const char16_t* name, uint32_t* type, void* data,
                               uint32_t* byteCount) {
    DWORD bytes = *byteCount;
    DWORD valueType = *type;
    const LONG result = RegQueryValueExW(static_cast<HKEY>(key), reinterpret_cast<LPCWSTR>(name),
                                         nullptr, &valueType, static_cast<LPBYTE>(data), &bytes);
    *byteCount = bytes;
    *type = valueType;
    return result;
}

void Win32Platform::CloseKey(KeyHandle key) {
    RegCloseKey(static_cast<HKEY>(key));
}

uint32_t Win32Platform::ExpandEnvironment(const char16_t* source, char16_t* dest,
                                          uint32_t destUnits) {
    return ExpandEnvironmentStringsW(reinterpret_cast<LPCWSTR>(source),
                                     reinterpret_cast<LPWSTR>(dest), destUnits);
}

uint32_t Win32Platform::FileAttributes(const char16_t* path) {
    return GetFileAttributesW(reinterpret_cast<LPCWSTR>(path));
}

intptr_t Win32Platform::StartProgram(const char16_t* path, const char16_t* directory) {
    const HINSTANCE result =
        ShellExecuteW(nullptr, L"open", reinterpret_cast<LPCWSTR>(path), nullptr,
                      reinterpret_cast<LPCWSTR>(directory), SW_SHOWMAXIMIZED);
    return reinterpret_cast<intptr_t>(result);
}

bool Win32Platform::SetDefaultDllSearch(uint32_t flags) {
    // kernel32 is mapped into every process, so asking for its handle loads nothing.
    const HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
    if (kernel32 == nullptr) {
        return false;
    }
    const FARPROC found = GetProcAddress(kernel32, "SetDefaultDllDirectories");
    if (found == nullptr) {
        return false;
    }
    // FARPROC is a placeholder type; going through a plain function pointer type tells the
    // compiler the cast to the routine's real type is meant.
    typedef BOOL(WINAPI * SetDefaultDllDirectoriesRoutine)(DWORD);
    const SetDefaultDllDirectoriesRoutine routine =
        reinterpret_cast<SetDefaultDllDirectoriesRoutine>(reinterpret_cast<void (*)(void)>(found));
    return routine(flags) != FALSE;
}

bool Win32Platform::SetDllSearchFolder(const char16_t* folder) {
    return SetDllDirectoryW(reinterpret_cast<LPCWSTR>(folder)) != FALSE;
}

void Win32Platform::Sleep(uint32_t milliseconds) {
    ::Sleep(milliseconds);
}
