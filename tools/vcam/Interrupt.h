// Ctrl-C and SIGTERM end a run cleanly (the pin is stopped, the device
// removed, the summary printed) instead of killing the process mid-stream.
// A second signal exits at once. SIGPIPE is ignored so a closed output pipe
// shows up as EPIPE on the write, which ends a live run quietly. On Windows
// the console's Ctrl-C and Ctrl-Break events do the same.
#pragma once

namespace vcam {

class Interrupt {
  public:
    // Installs the handlers; once, from main.
    static void Install();
    // A signal asked the run to end.
    static bool Requested();
};

}  // namespace vcam
