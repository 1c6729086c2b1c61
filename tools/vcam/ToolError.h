// The error that ends a vcam command, carrying the process exit code that
// says which side failed. vcam is an ordinary Linux program: a failure is
// thrown up to main(), which prints the message once and exits with the code.
#pragma once

#include <stdexcept>
#include <string>

namespace vcam {

// Exit codes, as `vcam --help` documents them.
enum ExitCode : int {
    kExitOk = 0,
    kExitUsage = 1,   // bad command line
    kExitInput = 2,   // input or output file: missing, malformed, wrong size or format
    kExitCamera = 3,  // the driver or the host kernel refused a step
    kExitNonConformant =
        4,  // a conformance check failed, or the verifier found a violation or leak
};

class ToolError : public std::runtime_error {
  public:
    ToolError(ExitCode code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    ExitCode Code() const { return code_; }

  private:
    ExitCode code_;  // what main() exits with; set once at construction
};

}  // namespace vcam
