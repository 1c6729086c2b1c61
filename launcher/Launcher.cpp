#include "Launcher.h"

#include "FolderPath.h"

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

// The longest folder taken, whatever the value's type: the 126 characters a REG_SZ read
// with the limit above can hold. A REG_EXPAND_SZ whose expansion is longer is refused rather
// than cut, so every program path stays well below MAX_PATH (260).
const uint32_t kMaxFolderLength = 126;

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

// Whether text[0, units) holds a null unit.
bool HasNull(const char16_t* text, uint32_t units) {
    for (uint32_t i = 0; i < units; ++i) {
        if (text[i] == 0) {
            return true;
        }
    }
    return false;
}

}  // namespace

Launcher::Launcher(LauncherPlatform& platform) : platform_(platform) {}

// Reads the folder. The query's result, the byte count it returns and the value's type are
// all checked, and the buffer is zero-filled first, because the value is outside our control:
//  - a missing value (ERROR_FILE_NOT_FOUND) leaves the buffer unfilled;
//  - a value longer than the 255-byte limit (ERROR_MORE_DATA) leaves it unfilled or
//    undefined, whatever part of it looks like text;
//  - a value stored without its terminating null comes back with no null unit in the
//    returned bytes; taking text from it would read past what the system wrote;
//  - a value of any type but REG_SZ or REG_EXPAND_SZ is no folder text, whatever its bytes;
//  - a REG_EXPAND_SZ is expanded exactly once, and an expansion that fails or is longer than
//    126 characters gives no folder (the expansion is not expanded again).
// In each of these cases no folder is taken and the attempt fails without starting
// anything. That failure costs no extra wait inside the attempt (only an unopenable key
// does); the usual wait between attempts still applies. The caller still closes the key.
bool Launcher::ReadFolder(LauncherPlatform::KeyHandle key, char16_t* folder) {
    char16_t value[kFolderUnits];
    for (uint32_t i = 0; i < kFolderUnits; ++i) {
        value[i] = 0;
        folder[i] = 0;
    }
    uint32_t bytes = kFolderQueryBytes;
    uint32_t type = 0;  // REG_NONE until the query says otherwise
    if (platform_.QueryValue(key, kFolderValue, &type, value, &bytes) !=
        LauncherPlatform::kSuccess) {
        return false;
    }
    if (bytes > kFolderQueryBytes) {
        return false;
    }
    // Only whole units lie within the returned bytes; an odd last byte is half a unit.
    if (!HasNull(value, bytes / sizeof(char16_t))) {
        return false;
    }
    if (type == LauncherPlatform::kTypeString) {
        for (uint32_t i = 0; i < kFolderUnits && value[i] != 0; ++i) {
            folder[i] = value[i];
        }
        return true;
    }
    if (type == LauncherPlatform::kTypeExpandString) {
        const uint32_t needed = platform_.ExpandEnvironment(value, folder, kFolderUnits);
        return needed != 0 && needed <= kMaxFolderLength + 1 && HasNull(folder, needed);
    }
    return false;
}

// The program is started only if its path names a regular file now: something missing, a
// folder or a device fails the attempt as a failed start would, without asking the shell,
// which would open a folder in a window or look for the name elsewhere. Its current
// directory is its own folder, so nothing it loads by a relative name comes from the
// launcher's current folder.
bool Launcher::StartFromFolder(const char16_t* folder, const char16_t* name) {
    char16_t path[kPathUnits];
    uint32_t length = 0;
    if (!Append(path, kPathUnits, &length, folder) || !Append(path, kPathUnits, &length, name)) {
        return false;
    }
    // The program's folder: its path up to and including the last backslash, which is the
    // folder text itself when that ends with its backslash.
    char16_t directory[kPathUnits];
    uint32_t directoryLength = 0;
    for (uint32_t i = 0; i < length; ++i) {
        directory[i] = path[i];
        if (path[i] == u'\\') {
            directoryLength = i + 1;
        }
    }
    directory[directoryLength] = 0;

    const uint32_t attributes = platform_.FileAttributes(path);
    if (attributes == LauncherPlatform::kInvalidAttributes ||
        (attributes &
         (LauncherPlatform::kAttributeDirectory | LauncherPlatform::kAttributeDevice)) != 0) {
        return false;
    }
    return platform_.StartProgram(path, directory) > kLastStartError;
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
    if (ReadFolder(key, folder) && FolderPath::IsLocalAbsolute(folder) &&
        StartFromFolder(folder, kFirstProgram)) {
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

// Both calls are made, and neither's failure stops the run: a Windows without
// SetDefaultDllDirectories still drops the current folder from the search through
// SetDllDirectoryW(""), and refusing to start would leave the installation unfinished.
void Launcher::RestrictDllLoading() {
    platform_.SetDefaultDllSearch(LauncherPlatform::kSearchSystem32);
    platform_.SetDllSearchFolder(u"");
}

void Launcher::Run() {
    RestrictDllLoading();
    for (uint32_t attempt = 1;; ++attempt) {
        if (LaunchOnce() || attempt == kAttempts) {
            return;
        }
        platform_.Sleep(kWaitBetweenAttemptsMs);
    }
}
