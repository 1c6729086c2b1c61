// LauncherPlatform: the five operating-system calls VantriStarter makes, as one seam.
//
// Launcher holds all of the retry and timing logic and talks to the system only through
// this interface. Win32Platform forwards each call to the Win32 function named below with
// exactly the arguments given there; the host tests plug in a fake with a millisecond clock.
// Nothing here needs a Windows header, so the host build compiles it as it is.
//
// Text is UTF-16 (char16_t) on every build, so byte counts mean the same thing on the host
// as on Windows, where a char16_t unit and a WCHAR are the same two bytes.
//
// Threading: VantriStarter runs on one thread; an implementation needs no locking.
#pragma once

#include <stdint.h>

class LauncherPlatform {
  public:
    // An open registry key, as handed out by OpenUserKey. Only the platform looks inside.
    typedef void* KeyHandle;

    // The result code of a successful registry call (ERROR_SUCCESS).
    static constexpr long kSuccess = 0;

    // RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, key). Returns the call's result;
    // *key is an open key, owned by the caller until CloseKey, only when it is kSuccess.
    virtual long OpenUserKey(const char16_t* subKey, KeyHandle* key) = 0;

    // RegQueryValueExW(key, name, nullptr, nullptr, data, byteCount). *byteCount is the size
    // of data in bytes on the way in and the size of the value on the way out. Returns the
    // call's result (kSuccess, or e.g. ERROR_MORE_DATA / ERROR_FILE_NOT_FOUND).
    virtual long QueryValue(KeyHandle key, const char16_t* name, void* data,
                            uint32_t* byteCount) = 0;

    // RegCloseKey(key). The key must come from a successful OpenUserKey.
    virtual void CloseKey(KeyHandle key) = 0;

    // ShellExecuteW(nullptr, L"open", path, nullptr, nullptr, SW_SHOWMAXIMIZED): no owner
    // window, no parameters, the caller's current directory. Returns the call's result as
    // an integer; a value greater than 32 means the program was started.
    virtual intptr_t StartProgram(const char16_t* path) = 0;

    // Sleep(milliseconds): blocks the calling thread.
    virtual void Sleep(uint32_t milliseconds) = 0;

  protected:
    // Never deleted through this interface: Main and the tests own their platform by value.
    ~LauncherPlatform() {}
};
