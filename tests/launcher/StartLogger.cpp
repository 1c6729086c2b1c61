// Pellarsetup.exe / Ravelhost.exe of the launcher's Wine tests: one source, built under both
// names (and copied under other names by the tests). When started, it appends one line to
// "starts.log" in its own folder and exits with 0:
//
//   <own file name> created_ms=<creation time> show=<show command> cwd=<current directory>
//
// created_ms is the process creation time in milliseconds (FILETIME / 10000). It is taken
// when the starting process creates this one, not when this one gets to run, so the gap
// between two lines measures the starter's own waits without this program's start-up time.
// show is the show command from the start-up information (-1 when none was given).
//
// A GUI-subsystem program without a window, like the launcher, so no console opens.
#include <windows.h>

#include <stdio.h>
#include <wchar.h>

namespace {

const wchar_t kLogName[] = L"starts.log";

// Opens the log for appending; several starts may race for it, so sharing violations are
// retried for a while.
HANDLE OpenLog(const wchar_t* path) {
    for (int attempt = 0; attempt < 200; ++attempt) {
        HANDLE log = CreateFileW(path, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                 nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            return log;
        }
        Sleep(10);
    }
    return INVALID_HANDLE_VALUE;
}

}  // namespace

extern "C" int wmain(int /*argc*/, wchar_t** /*argv*/) {
    wchar_t self[MAX_PATH];
    const DWORD selfLength = GetModuleFileNameW(nullptr, self, MAX_PATH);
    if (selfLength == 0 || selfLength >= MAX_PATH) {
        return 1;
    }
    wchar_t* slash = wcsrchr(self, L'\\');
    if (slash == nullptr) {
        return 1;
    }
    const wchar_t* name = slash + 1;

    FILETIME created, exited, kernel, user;
    if (!GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user)) {
        return 1;
    }
    const unsigned long long createdMs =
        ((static_cast<unsigned long long>(created.dwHighDateTime) << 32) | created.dwLowDateTime) /
        10000ULL;

    STARTUPINFOW startup;
    GetStartupInfoW(&startup);
    const int show = (startup.dwFlags & STARTF_USESHOWWINDOW) ? startup.wShowWindow : -1;

    wchar_t cwd[MAX_PATH];
    const DWORD cwdLength = GetCurrentDirectoryW(MAX_PATH, cwd);
    if (cwdLength == 0 || cwdLength >= MAX_PATH) {
        return 1;
    }

    wchar_t line[3 * MAX_PATH];
    const int lineLength =
        _snwprintf(line, sizeof(line) / sizeof(line[0]), L"%ls created_ms=%llu show=%d cwd=%ls\n",
                   name, createdMs, show, cwd);
    if (lineLength < 0) {
        return 1;
    }
    char utf8[4 * 3 * MAX_PATH];
    const int utf8Length =
        WideCharToMultiByte(CP_UTF8, 0, line, lineLength, utf8, sizeof(utf8), nullptr, nullptr);
    if (utf8Length <= 0) {
        return 1;
    }

    // The log lives next to this program: replace the file name with the log's name.
    *(slash + 1) = 0;
    if (wcslen(self) + wcslen(kLogName) >= MAX_PATH) {
        return 1;
    }
    wcscat(self, kLogName);
    HANDLE log = OpenLog(self);
    if (log == INVALID_HANDLE_VALUE) {
        return 1;
    }
    DWORD written = 0;
    const BOOL ok = WriteFile(log, utf8, static_cast<DWORD>(utf8Length), &written, nullptr);
    CloseHandle(log);
    return ok && written == static_cast<DWORD>(utf8Length) ? 0 : 1;
}
