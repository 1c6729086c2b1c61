#include "host/ks/KsCallbackDeadline.h"

#include <host/executive/HostKernel.h>

#include "host/ks/KsRules.h"

#include <cinttypes>
#include <cstdio>

namespace host::ks {

KsCallbackDeadline::KsCallbackDeadline(const char* callback, const void* routine)
    : callback_(callback),
      routine_(routine),
      judged_(HostKernel::Mode() == ClockMode::Virtual),
      calledAt_(judged_ ? HostKernel::InterruptTime() : 0) {}

KsCallbackDeadline::~KsCallbackDeadline() {
    if (!judged_ || HostKernel::Mode() != ClockMode::Virtual) {
        return;
    }
    // Interrupt time: a system clock set during the call changes nothing.
    int64_t elapsed = HostKernel::InterruptTime() - calledAt_;
    if (elapsed <= kLimit) {
        return;
    }
    // 100 ns units as ms with every digit kept, so 500 ms and one unit reads
    // 500.0001 ms rather than a rounded 500.
    char text[160];
    std::snprintf(text, sizeof text,
                  "returned %" PRId64 ".%04" PRId64
                  " ms after it was called; a callback must return within %" PRId64 " ms",
                  elapsed / 10000, elapsed % 10000, kLimit / 10000);
    KsRules::Report(Rule::KsObject, callback_, KsRules::RoutineSite(routine_), text);
}

}  // namespace host::ks
