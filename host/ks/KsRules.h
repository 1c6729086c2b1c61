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

    // Any IRQL. The `caller` to pass to Report so that the report's site
    // names the driver routine that begins at `entry`: a site is read as a
    // return address and named by the byte before it, which for a routine's
    // entry would be the end of whatever code lies before the routine.
    static const void* RoutineSite(const void* entry);

    // Any IRQL. "0x%08x" of a status, for report texts.
    static std::string StatusText(NTSTATUS status);
};

}  // namespace host::ks
