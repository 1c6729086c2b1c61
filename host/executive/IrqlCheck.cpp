#include "host/executive/IrqlCheck.h"

#include <host/verifier/Verifier.h>

#include "host/executive/ThreadState.h"
#include "host/verifier/CallSite.h"

#include <string>

namespace host {

bool IrqlCheck::AtMost(KIRQL highest, const char* routine, const void* caller) {
    KIRQL current = ThreadState::Irql();
    if (current <= highest) {
        return true;
    }
    Verifier::Report(Rule::IrqlTooHigh, CallSite::Format(caller).c_str(),
                     std::string(routine) + " called at IRQL " + std::to_string(current) +
                         ", allowed up to " + std::to_string(highest));
    return false;
}

}  // namespace host
