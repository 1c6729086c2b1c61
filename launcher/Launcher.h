// Launcher: starts the installation's two programs, Pellarsetup.exe and then Ravelhost.exe,
// from the folder the installer recorded in HKEY_CURRENT_USER\Software\Vantri, value "path".
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

    // The whole run of the program: up to three attempts, 2000 ms apart, stopping at the
    // first one that succeeds. Reports nothing; the caller exits with 0 afterwards.
    void Run();

  private:
    // Reads "path" from the open key into folder (256 units, zero-filled here).
    // Returns false when the value gives no usable folder text; see Launcher.cpp.
    bool ReadFolder(LauncherPlatform::KeyHandle key, char16_t* folder);

    // Starts folder + name; true when the platform reports the program started.
    bool StartFromFolder(const char16_t* folder, const char16_t* name);

    // The system calls. Not owned; set once by the constructor.
    LauncherPlatform& platform_;
};
