// The AVStream rule that a driver callback returns within 500 ms: judged on
// the virtual clock, where a callback's PASSIVE wait moves system time on by
// exactly its time-out, for the pin's Create, SetDataFormat, SetDeviceState and
// Close and the filter's Create and Close; exactly 500 ms is allowed, one
// unit more is reported once, naming the callback, the driver routine and the
// time taken. Process is not judged, nor a clock set back, nor the real clock.
#include "KsMiniDriver.h"

#include "host/ks/KsCallbackDeadline.h"

#include <gmock/gmock.h>

namespace ksmini {
namespace {

using host::HostKernel;
using host::ks::KsCallbackDeadline;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr int64_t kLimit = KsCallbackDeadline::kLimit;

static_assert(kLimit == 5000000, "the platform's limit is 500 ms");

// Waits at PASSIVE_LEVEL on an event nothing signals, with a relative
// time-out of `units`: on the virtual clock system time moves on by exactly
// that much (no timer is set in these tests); on the real clock it blocks.
// Keeps the callback busy for `units`: on the virtual clock exactly (a wait
// would end on a clock interrupt, not at an exact time), on the real clock by
// a real wait of at least that long.
void WaitFor(int64_t units) {
    if (HostKernel::Mode() == host::ClockMode::Virtual) {
        HostKernel::SetTimeWithoutRunning(HostKernel::Now() + units);
        return;
    }
    KEVENT never;
    KeInitializeEvent(&never, NotificationEvent, FALSE);
    LARGE_INTEGER timeout;
    timeout.QuadPart = -units;
    KeWaitForSingleObject(&never, Executive, KernelMode, FALSE, &timeout);
}

// ---- SetDeviceState, one step -------------------------------------------------

class KsCallbackDeadlineTest : public KsTest {
  protected:
    // The capture pin's SetDeviceState takes `units` in its STOP -> ACQUIRE
    // step and nothing in the others; each call's system time is noted.
    void SlowAcquire(int64_t units) {
        Mini().entered = [this, units](const char* routine) {
            if (std::strcmp(routine, "PinSetDeviceState") == 0 &&
                Mini().lastPin->DeviceState == KSSTATE_STOP) {
                int64_t before = HostKernel::Now();
                WaitFor(units);
                waited = HostKernel::Now() - before;
            }
        };
    }

    int64_t waited = -1;  // system time the slow step's wait took
};

TEST_F(KsCallbackDeadlineTest, AStateChangeThatTakesExactly500msIsAllowed) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    SlowAcquire(kLimit);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    // The step did take the whole 500 ms of system time.
    EXPECT_EQ(waited, kLimit);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsCallbackDeadlineTest, OneUnitOver500msIsReportedOnceNamingCallbackRoutineAndTime) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    SlowAcquire(kLimit + 1);
    // The rule reports; it does not change what the platform does.
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    EXPECT_EQ(rig.pin->State(), KSSTATE_RUN);
    EXPECT_EQ(waited, kLimit + 1);
    std::vector<host::Violation> violations = host::Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u) << host::Verifier::Describe();
    EXPECT_EQ(violations[0].rule, host::Rule::KsObject);
    EXPECT_THAT(violations[0].detail, StartsWith("pin SetDeviceState: "));
    EXPECT_THAT(violations[0].detail, HasSubstr("500.0001 ms"));
    ExpectSiteIs(violations[0].site, reinterpret_cast<const void*>(&PinSetDeviceState));
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsCallbackDeadlineTest, TheWholeCallCountsNotEachWait) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    // Two waits of 300 ms, each well inside the limit, in one call.
    Mini().entered = [](const char* routine) {
        if (std::strcmp(routine, "PinSetDeviceState") == 0) {
            WaitFor(3000000);
            WaitFor(3000000);
        }
    };
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Mini().entered = nullptr;
    EXPECT_THAT(FirstDetail(), HasSubstr("600.0000 ms"));
    ExpectViolations({host::Rule::KsObject});
}

TEST_F(KsCallbackDeadlineTest, AClockSetBackDuringACallbackIsNoViolation) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    // The callback returns 9.5 s of system time "before" it was called.
    Mini().entered = [](const char* routine) {
        if (std::strcmp(routine, "PinSetDeviceState") == 0) {
            HostKernel::SetSystemTime(HostKernel::Now() - 100000000);
            WaitFor(kLimit);
        }
    };
    const int64_t before = HostKernel::Now();
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Mini().entered = nullptr;
    EXPECT_EQ(HostKernel::Now(), before - 95000000);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_F(KsCallbackDeadlineTest, ProcessIsNotJudgedHere) {
    // Process has its own limit (on the processing mutex), not this one.
    Mini().process = [](PKSPIN) {
        WaitFor(2 * kLimit);
        return STATUS_PENDING;
    };
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_RUN), STATUS_SUCCESS);
    UCHAR buffer[256] = {};
    const int64_t before = HostKernel::Now();
    ASSERT_EQ(rig.pin->Submit(buffer, sizeof buffer), STATUS_SUCCESS);
    ASSERT_GE(Mini().processCalls.load(), 1);
    EXPECT_GE(HostKernel::Now() - before, 2 * kLimit);
    ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

// ---- every timed callback -------------------------------------------------------

struct TimedCallback {
    const char* routine;   // the minidriver's routine, as it names itself
    const char* callback;  // the name the report gives the callback
    const void* entry;     // the routine's code
};

// gtest names a case by its routine.
void PrintTo(const TimedCallback& timed, std::ostream* out) {
    *out << timed.routine;
}

const TimedCallback kTimedCallbacks[] = {
    {"FilterCreate", "filter Create", reinterpret_cast<const void*>(&FilterCreate)},
    {"PinSetDataFormat", "pin SetDataFormat", reinterpret_cast<const void*>(&PinSetDataFormat)},
    {"PinCreate", "pin Create", reinterpret_cast<const void*>(&PinCreate)},
    {"PinSetDeviceState", "pin SetDeviceState", reinterpret_cast<const void*>(&PinSetDeviceState)},
    {"PinClose", "pin Close", reinterpret_cast<const void*>(&PinClose)},
    {"FilterClose", "filter Close", reinterpret_cast<const void*>(&FilterClose)},
};

class KsEveryCallbackDeadlineTest : public KsTest,
                                    public ::testing::WithParamInterface<TimedCallback> {
  protected:
    // Opens the filter and the capture pin (SetDataFormat, then Create), takes
    // the pin to ACQUIRE and back (two SetDeviceState calls), closes the pin
    // and the filter; the first call of `slow` takes `units`, every other
    // callback nothing.
    void Lifecycle(const char* slow, int64_t units) {
        Mini().entered = [slow, units, done = false](const char* routine) mutable {
            if (!done && std::strcmp(routine, slow) == 0) {
                done = true;
                WaitFor(units);
            }
        };
        const int64_t before = HostKernel::Now();
        ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->SetState(KSSTATE_STOP), STATUS_SUCCESS);
        ASSERT_EQ(rig.pin->Close(), STATUS_SUCCESS);
        ASSERT_EQ(rig.filter->Close(), STATUS_SUCCESS);
        // The slow routine was called and took its time.
        EXPECT_EQ(HostKernel::Now() - before, units);
    }
};

TEST_P(KsEveryCallbackDeadlineTest, Exactly500msIsAllowed) {
    Lifecycle(GetParam().routine, kLimit);
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

TEST_P(KsEveryCallbackDeadlineTest, OneUnitMoreIsReportedOnceNamingTheCallback) {
    Lifecycle(GetParam().routine, kLimit + 1);
    std::vector<host::Violation> violations = host::Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u) << host::Verifier::Describe();
    EXPECT_EQ(violations[0].rule, host::Rule::KsObject);
    EXPECT_THAT(violations[0].detail, StartsWith(std::string(GetParam().callback) + ": "));
    EXPECT_THAT(violations[0].detail, HasSubstr("500.0001 ms"));
    ExpectSiteIs(violations[0].site, GetParam().entry);
    ExpectViolations({host::Rule::KsObject});
}

INSTANTIATE_TEST_SUITE_P(Callbacks, KsEveryCallbackDeadlineTest,
                         ::testing::ValuesIn(kTimedCallbacks),
                         [](const ::testing::TestParamInfo<TimedCallback>& info) {
                             return std::string(info.param.routine);
                         });

// ---- the real clock -------------------------------------------------------------

using KsRealClockCallbackDeadlineTest = KsRealClockTest;

TEST_F(KsRealClockCallbackDeadlineTest, TheRealClockIsNotJudged) {
    ASSERT_EQ(OpenCapturePin(), STATUS_SUCCESS);
    // A real wait whose time-out alone exceeds the limit: the wait returns
    // only once that much wall-clock time has passed, so a rule that judged
    // the real clock would report it every time. Nothing is asserted about
    // how long it took.
    Mini().entered = [](const char* routine) {
        if (std::strcmp(routine, "PinSetDeviceState") == 0) {
            WaitFor(kLimit + 100000);
        }
    };
    ASSERT_EQ(rig.pin->SetState(KSSTATE_ACQUIRE), STATUS_SUCCESS);
    Mini().entered = nullptr;
    EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
}

}  // namespace
}  // namespace ksmini
