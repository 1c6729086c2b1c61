// Shared IRQL guard for the exported routines: reports Rule::IrqlTooHigh when
// a routine is called above the highest IRQL it allows.
#pragma once

#include <host/ntddk.h>

namespace host {

class IrqlCheck {
  public:
    // Any thread. True if the current IRQL is at most `highest`; otherwise
    // reports `routine` called at the current IRQL from `caller`.
    static bool AtMost(KIRQL highest, const char* routine, const void* caller);
};

}  // namespace host
