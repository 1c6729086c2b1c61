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
    long QueryValue(KeyHandle key, const char16_t* name, void* data, uint32_t* byteCount) override;
    void CloseKey(KeyHandle key) override;
    intptr_t StartProgram(const char16_t* path) override;
    void Sleep(uint32_t milliseconds) override;
};
