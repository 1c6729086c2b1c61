// The class library's own checks in the manner of Driver Verifier's AVStream
// rules: IRQL limits of the KS calls and reports of misused objects. Every
// report goes to host::Verifier with the driver's call site.
#pragma once

#include <host/ntddk.h>
#include <host/verifier/Verifier.h>

#include <string>

namespace host::ks {

class KsRules {
  public:
    // Any IRQL. True if the calling thread runs at `highest` or below;
    // otherwise reports Rule::IrqlTooHigh naming `routine` and `caller`.
    static bool IrqlAtMost(KIRQL highest, const char* routine, const void* caller);

    // Any IRQL. Reports `rule` for `routine` called from `caller`.
    static void Report(Rule rule, const char* routine, const void* caller,
                       const std::string& detail);

    // Any IRQL. "0x%08x" of a status, for report texts.
    static std::string StatusText(NTSTATUS status);
};

}  // namespace host::ks
