#include "host/ks/KsRules.h"

#include "host/verifier/CallSite.h"

#include <cstdio>

namespace host::ks {

bool KsRules::IrqlAtMost(KIRQL highest, const char* routine, const void* caller) {
    KIRQL current = KeGetCurrentIrql();
    if (current <= highest) {
        return true;
    }
    char text[160];
    std::snprintf(text, sizeof text, "%s called at IRQL %d; it allows at most %d", routine,
                  static_cast<int>(current), static_cast<int>(highest));
    Verifier::Report(Rule::IrqlTooHigh, CallSite::Format(caller).c_str(), text);
    return false;
}

void KsRules::Report(Rule rule, const char* routine, const void* caller,
                     const std::string& detail) {
    std::string site = caller != nullptr ? CallSite::Format(caller) : std::string("?");
    Verifier::Report(rule, site.c_str(), std::string(routine) + ": " + detail);
}

const void* KsRules::RoutineSite(const void* entry) {
    return entry != nullptr ? static_cast<const char*>(entry) + 1 : nullptr;
}

std::string KsRules::StatusText(NTSTATUS status) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08x", static_cast<unsigned>(status));
    return text;
}

}  // namespace host::ks
