// Win32Platform: LauncherPlatform on the real Win32 API (advapi32, shell32, kernel32).
//
// Each call forwards to one Win32 function with the arguments the interface documents and
// hands back its result untouched; the decisions are Launcher's.
//
// Threading: used by VantriStarter's only thread. Holds no state.
#pragma once

#include "LauncherPlatform.h"

class Win32Platform : public LauncherPlatform {
  public:
    long OpenUserKey(const char16_t* subKey, KeyHandle* key) override;
    long QueryValue(KeyHandle key, const char16_t* name, uint32_t* type, void* data,
                    uint32_t* byteCount) override;
    void CloseKey(KeyHandle key) override;
    uint32_t ExpandEnvironment(const char16_t* source, char16_t* dest, uint32_t destUnits) override;
    uint32_t FileAttributes(const char16_t* path) override;
    intptr_t StartProgram(const char16_t* path, const char16_t* directory) override;
    bool SetDefaultDllSearch(uint32_t flags) override;
    bool SetDllSearchFolder(const char16_t* folder) override;
    void Sleep(uint32_t milliseconds) override;
};
