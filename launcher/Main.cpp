// VantriStarter's entry point. Run after installation, with administrator rights (see
// VantriStarter.manifest), to start the installation's programs; see Launcher.
//
// A GUI-subsystem program with no window: no console opens, nothing is shown, the command
// line is ignored and the exit code is always 0.
#include "Launcher.h"
#include "Win32Platform.h"

// Built with -municode, so the C runtime calls wmain; C linkage lets it find it. Run is the
// first thing it does, so DLL loading is limited to the system folder before any of the
// launcher's own calls can load one.
extern "C" int wmain(int /*argc*/, wchar_t** /*argv*/) {
    Win32Platform platform;
    Launcher launcher(platform);
    launcher.Run();
    return 0;
}
