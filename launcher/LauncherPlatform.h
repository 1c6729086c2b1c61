// LauncherPlatform: the operating-system calls VantriStarter makes, as one seam.
//
// Launcher holds all of the retry, timing and checking logic and talks to the system only
// through this interface. Win32Platform forwards each call to the Win32 function named below
// with exactly the arguments given there; the host tests plug in a fake with a millisecond
// clock. Nothing here needs a Windows header, so the host build compiles it as it is; the
// constants below carry the Win32 values, and Win32Platform.cpp checks them against
// windows.h.
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

    // Registry value types (REG_SZ, REG_EXPAND_SZ), as QueryValue reports them.
    static constexpr uint32_t kTypeString = 1;
    static constexpr uint32_t kTypeExpandString = 2;

    // FileAttributes' answer when there is no such file or it cannot be asked about
    // (INVALID_FILE_ATTRIBUTES), and the attribute bits that make a path no regular file
    // (FILE_ATTRIBUTE_DIRECTORY, FILE_ATTRIBUTE_DEVICE).
    static constexpr uint32_t kInvalidAttributes = 0xFFFFFFFFu;
    static constexpr uint32_t kAttributeDirectory = 0x10;
    static constexpr uint32_t kAttributeDevice = 0x40;

    // SetDefaultDllSearch's flag that limits DLL loading to the system folder
    // (LOAD_LIBRARY_SEARCH_SYSTEM32).
    static constexpr uint32_t kSearchSystem32 = 0x800;

    // RegOpenKeyExW(HKEY_CURRENT_USER, subKey, 0, KEY_READ, key). Returns the call's result;
    // *key is an open key, owned by the caller until CloseKey, only when it is kSuccess.
    virtual long OpenUserKey(const char16_t* subKey, KeyHandle* key) = 0;

    // RegQueryValueExW(key, name, nullptr, type, data, byteCount). *byteCount is the size
    // of data in bytes on the way in and the size of the value on the way out; *type is the
    // value's type when the call succeeds. Returns the call's result (kSuccess, or e.g.
    // ERROR_MORE_DATA / ERROR_FILE_NOT_FOUND).
    virtual long QueryValue(KeyHandle key, const char16_t* name, uint32_t* type, void* data,
                            uint32_t* byteCount) = 0;

    // RegCloseKey(key). The key must come from a successful OpenUserKey.
    virtual void CloseKey(KeyHandle key) = 0;

    // ExpandEnvironmentStringsW(source, dest, destUnits): source and dest never overlap.
    // Returns the call's result: the units the expansion needs, its null included; 0 when
    // the call failed; more than destUnits when dest was too small, whose contents are then
    // undefined.
    virtual uint32_t ExpandEnvironment(const char16_t* source, char16_t* dest,
                                       uint32_t destUnits) = 0;

    // GetFileAttributesW(path): the attribute bits of what path names, or kInvalidAttributes.
    virtual uint32_t FileAttributes(const char16_t* path) = 0;

    // ShellExecuteW(nullptr, L"open", path, nullptr, directory, SW_SHOWMAXIMIZED): no owner
    // window, no parameters, directory as the started program's current directory. Returns
    // the call's result as an integer; a value greater than 32 means the program was started.
    virtual intptr_t StartProgram(const char16_t* path, const char16_t* directory) = 0;

    // SetDefaultDllDirectories(flags), found with GetProcAddress on kernel32 because Windows
    // releases before 8 that lack update KB2533623 do not have it. False when the routine is
    // missing or the call failed.
    virtual bool SetDefaultDllSearch(uint32_t flags) = 0;

    // SetDllDirectoryW(folder). False when the call failed.
    virtual bool SetDllSearchFolder(const char16_t* folder) = 0;

    // Sleep(milliseconds): blocks the calling thread.
    virtual void Sleep(uint32_t milliseconds) = 0;

  protected:
    // Never deleted through this interface: Main and the tests own their platform by value.
    ~LauncherPlatform() {}
};
