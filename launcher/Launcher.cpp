#include "Launcher.h"

namespace {

// Where the installer records the installation folder.
const char16_t kInstallKey[] = u"Software\\Vantri";
const char16_t kFolderValue[] = u"path";

// The two programs, started in this order. The folder text carries its own trailing
// backslash, so the names are appended with no separator.
const char16_t kFirstProgram[] = u"Pellarsetup.exe";
const char16_t kSecondProgram[] = u"Ravelhost.exe";

// The folder buffer holds 256 UTF-16 units, but the value is read with a byte limit of
// 255: a folder of at most 126 characters plus its terminating null fits.
const uint32_t kFolderUnits = 256;
const uint32_t kFolderQueryBytes = 255;

// A program path is the folder text (at most 126 units, see ReadFolder), a program name
// and a null; this leaves room to spare.
const uint32_t kPathUnits = kFolderUnits + 32;

const uint32_t kAttempts = 3;
const uint32_t kWaitBetweenAttemptsMs = 2000;
const uint32_t kWaitAfterOpenFailureMs = 2000;
const uint32_t kWaitAfterStartMs = 1000;

// ShellExecuteW results up to this value are error codes.
const intptr_t kLastStartError = 32;

// Copies the null-terminated text source to dest[*length...], never writing at or past
// dest[capacity - 1], and keeps dest null-terminated. Returns false if source did not fit.
bool Append(char16_t* dest, uint32_t capacity, uint32_t* length, const char16_t* source) {
    uint32_t at = *length;
    for (const char16_t* unit = source; *unit != 0; ++unit) {
        if (at + 1 >= capacity) {
            dest[at] = 0;
            *length = at;
            return false;
        }
        dest[at++] = *unit;
    }
    dest[at] = 0;
    *length = at;
    return true;
}

}  // namespace

Launcher::Launcher(LauncherPlatform& platform) : platform_(platform) {}

// Reads the folder. The query's result and the byte count it returns are both checked, and
// the buffer is zero-filled first, because the installer's value is outside our control:
//  - a missing value (ERROR_FILE_NOT_FOUND) leaves the buffer unfilled;
//  - a value longer than the 255-byte limit (ERROR_MORE_DATA) leaves it unfilled or
//    undefined, whatever part of it looks like text;
//  - a value stored without its terminating null comes back with no null unit in the
//    returned bytes; taking text from it would read past what the system wrote.
// In each of these cases no folder is taken and the attempt fails without starting
// anything. That failure costs no extra wait inside the attempt (only an unopenable key
// does); the usual wait between attempts still applies. The caller still closes the key.
bool Launcher::ReadFolder(LauncherPlatform::KeyHandle key, char16_t* folder) {
    for (uint32_t i = 0; i < kFolderUnits; ++i) {
        folder[i] = 0;
    }
    uint32_t bytes = kFolderQueryBytes;
    if (platform_.QueryValue(key, kFolderValue, folder, &bytes) != LauncherPlatform::kSuccess) {
        return false;
    }
    if (bytes > kFolderQueryBytes) {
        return false;
    }
    // Only whole units lie within the returned bytes; an odd last byte is half a unit.
    const uint32_t units = bytes / sizeof(char16_t);
    for (uint32_t i = 0; i < units; ++i) {
        if (folder[i] == 0) {
            return true;
        }
    }
    return false;
}

bool Launcher::StartFromFolder(const char16_t* folder, const char16_t* name) {
    char16_t path[kPathUnits];
    uint32_t length = 0;
    if (!Append(path, kPathUnits, &length, folder) || !Append(path, kPathUnits, &length, name)) {
        return false;
    }
    return platform_.StartProgram(path) > kLastStartError;
}

bool Launcher::LaunchOnce() {
    LauncherPlatform::KeyHandle key = nullptr;
    if (platform_.OpenUserKey(kInstallKey, &key) != LauncherPlatform::kSuccess) {
        // No key is held, so there is nothing to close.
        platform_.Sleep(kWaitAfterOpenFailureMs);
        return false;
    }

    bool started = false;
    char16_t folder[kFolderUnits];
    if (ReadFolder(key, folder) && StartFromFolder(folder, kFirstProgram)) {
        // The second program is tried only once the first has started.
        platform_.Sleep(kWaitAfterStartMs);
        if (StartFromFolder(folder, kSecondProgram)) {
            platform_.Sleep(kWaitAfterStartMs);
            started = true;
        }
    }

    platform_.CloseKey(key);
    return started;
}

void Launcher::Run() {
    for (uint32_t attempt = 1;; ++attempt) {
        if (LaunchOnce() || attempt == kAttempts) {
            return;
        }
        platform_.Sleep(kWaitBetweenAttemptsMs);
    }
}
