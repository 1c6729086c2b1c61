#include <host/executive/HostKernel.h>

#include "host/executive/DpcTiming.h"
#include "host/executive/Executive.h"
#include "host/executive/Suspension.h"
#include "host/variants/Variants.h"
#include "host/verifier/CallSite.h"

namespace host {

void HostKernel::Boot(ClockMode mode, int64_t virtualStart) {
    Variants::ApplyEnvironment();
    Executive::Instance().Boot(mode, virtualStart);
    DpcTiming::Reset();
    Suspension::Reset();
}

void HostKernel::Shutdown() {
    Executive::Instance().Shutdown();
}

ClockMode HostKernel::Mode() {
    return Executive::Instance().Mode();
}

int64_t HostKernel::Now() {
    return Executive::Instance().Now();
}

int64_t HostKernel::InterruptTime() {
    return Executive::Instance().InterruptNow();
}

int64_t HostKernel::TickInterval() {
    return Executive::Instance().TickInterval();
}

void HostKernel::SetSystemTime(int64_t when) {
    Executive::Instance().SetSystemTime(when, HOST_CALLER());
}

int64_t HostKernel::NextExpiry() {
    return Executive::Instance().NextExpiry();
}

void HostKernel::SetDpcOverlapChooser(std::function<bool()> chooser) {
    Executive::Instance().SetDpcOverlapChooser(std::move(chooser));
}

void HostKernel::AdvanceBy(int64_t delta) {
    Executive::Instance().AdvanceBy(delta, HOST_CALLER());
}

void HostKernel::AdvanceTo(int64_t when) {
    Executive::Instance().AdvanceTo(when, HOST_CALLER());
}

void HostKernel::SetTimeWithoutRunning(int64_t when) {
    Executive::Instance().SetTimeWithoutRunning(when, HOST_CALLER());
}

int64_t HostKernel::NextDueTime() {
    return Executive::Instance().NextDueTime();
}

void HostKernel::DrainDpcs() {
    Executive::Instance().DrainDpcs(HOST_CALLER());
}

void HostKernel::WaitForDpcIdle() {
    Executive::Instance().WaitForDpcIdle(HOST_CALLER());
}

std::vector<DpcRoutineTiming> HostKernel::DpcRoutineTimings() {
    return DpcTiming::Records();
}

}  // namespace host
