// Launcher: starts the installation's two programs, Pellarsetup.exe and then Ravelhost.exe,
// from the folder the installer recorded in HKEY_CURRENT_USER\Software\Vantri, value "path".
//
// VantriStarter runs with administrator rights, while that value can be written by any
// program the user runs without them. So nothing is taken from it that a sound installation
// could not have written, and nothing is started from a place a search path or the current
// folder could redirect:
//  - DLL loading is limited to the system folder before anything else happens;
//  - the value must be a string (REG_SZ), or a REG_EXPAND_SZ expanded exactly once;
//  - the folder must be an absolute local path ("C:\..."), with no relative part, no device
//    name and no character a Windows path forbids (see FolderPath.h);
//  - each program must exist as a regular file before it is started, and it is started with
//    its own folder as its current directory.
// Whatever fails a check fails the attempt with nothing started, at the cost in time of any
// other failed attempt.
//
// It keeps nothing between attempts: each attempt opens the key, reads the folder, starts
// the programs and closes the key again, so a program started by an earlier attempt is
// started again by a later one. It never waits for or watches what it starts.
//
// Threading: one thread (VantriStarter's only one); no locks. Not reentrant.
#pragma once

#include "LauncherPlatform.h"

class Launcher {
  public:
    // The platform must outlive the launcher.
    explicit Launcher(LauncherPlatform& platform);

    // One attempt. Returns true when both programs were started, false otherwise.
    // A key that cannot be opened costs a 2000 ms wait inside the attempt; a started
    // program is followed by a 1000 ms wait.
    bool LaunchOnce();

    // The whole run of the program: limits DLL loading to the system folder, then makes up
    // to three attempts, 2000 ms apart, stopping at the first one that succeeds. Reports
    // nothing; the caller exits with 0 afterwards. Call it first thing in the process.
    void Run();

  private:
    // Limits where DLLs are loaded from for the rest of the process: the system folder
    // only, and never the current folder. A system that lacks either call is not refused;
    // the other one still applies.
    void RestrictDllLoading();

    // Reads "path" from the open key into folder (256 units, zero-filled here), expanding a
    // REG_EXPAND_SZ. Returns false when the value gives no usable folder text; see
    // Launcher.cpp.
    bool ReadFolder(LauncherPlatform::KeyHandle key, char16_t* folder);

    // Starts folder + name from its own folder, if it names a regular file; true when the
    // platform reports the program started.
    bool StartFromFolder(const char16_t* folder, const char16_t* name);

    // The system calls. Not owned; set once by the constructor.
    LauncherPlatform& platform_;
};
