// Events: notification and synchronization semantics, and the virtual
// clock's wait, which advances time to the next due timer until the event is
// signalled (the stop handshake of a timer-driven pump, in one thread).
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <vector>

using host::HostKernel;
using host::Rule;

namespace {

constexpr int64_t kStart = HostKernel::kDefaultVirtualStart;
constexpr NTSTATUS kStatusTimeout = 0x00000102L;
constexpr int64_t kTick = 156250;  // the default clock interrupt interval

NTSTATUS Wait(KEVENT* event, PLARGE_INTEGER timeout = nullptr) {
    return KeWaitForSingleObject(event, Executive, KernelMode, FALSE, timeout);
}

// A one-shot timer whose DPC signals `event` after `ticksBeforeSignal`
// re-arms, one period apart; it records the time of each run.
struct SignallingTimer {
    KTIMER timer;
    KDPC dpc;
    KEVENT* event;
    int64_t period;
    int ticksBeforeSignal;
    std::vector<int64_t> runs;

    SignallingTimer(KEVENT* target, int64_t everyPeriod, int ticks)
        : event(target), period(everyPeriod), ticksBeforeSignal(ticks) {
        KeInitializeTimer(&timer);
        KeInitializeDpc(&dpc, &SignallingTimer::Routine, this);
    }

    void Arm() {
        LARGE_INTEGER due;
        due.QuadPart = -period;
        KeSetTimer(&timer, due, &dpc);
    }

    static void Routine(PKDPC, PVOID context, PVOID, PVOID) {
        auto* self = static_cast<SignallingTimer*>(context);
        self->runs.push_back(HostKernel::Now());
        if (static_cast<int>(self->runs.size()) < self->ticksBeforeSignal) {
            self->Arm();
        } else {
            KeSetEvent(self->event, 0, FALSE);
        }
    }
};

class EventTest : public KernelTestFixture {};

TEST_F(EventTest, InitialStateIsAsGiven) {
    KEVENT on, off;
    KeInitializeEvent(&on, NotificationEvent, TRUE);
    KeInitializeEvent(&off, SynchronizationEvent, FALSE);
    EXPECT_NE(KeReadStateEvent(&on), 0);
    EXPECT_EQ(KeReadStateEvent(&off), 0);
}

TEST_F(EventTest, NotificationEventStaysSignalledUntilCleared) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    EXPECT_EQ(KeSetEvent(&event, 0, FALSE), 0) << "previous state";
    EXPECT_NE(KeSetEvent(&event, 0, FALSE), 0) << "previous state";
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    KeClearEvent(&event);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, SynchronizationEventResetsWhenAWaitIsSatisfied) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    KeSetEvent(&event, 0, FALSE);
    EXPECT_NE(KeReadStateEvent(&event), 0);
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_EQ(KeReadStateEvent(&event), 0);
}

TEST_F(EventTest, ZeroTimeoutOnlyTestsTheStateEvenAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        EXPECT_EQ(Wait(&event, &zero), kStatusTimeout);
        KeSetEvent(&event, 0, FALSE);
        EXPECT_EQ(Wait(&event, &zero), STATUS_SUCCESS);
    }
    EXPECT_EQ(KeReadStateEvent(&event), 0);
    EXPECT_EQ(HostKernel::Now(), kStart);
}

TEST_F(EventTest, SetEventIsAllowedAtDispatchLevel) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    {
        host::ScopedIrql dispatch(DISPATCH_LEVEL);
        KeSetEvent(&event, 0, FALSE);
        KeClearEvent(&event);
        KeSetEvent(&event, 0, FALSE);
    }
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
}

TEST_F(EventTest, VirtualWaitAdvancesTimeToTheTimerThatSignals) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    SignallingTimer signaller(&event, 5000, 1);
    signaller.Arm();
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    ASSERT_EQ(signaller.runs.size(), 1u);
    EXPECT_EQ(signaller.runs[0], kStart + kTick) << "the interrupt after the due time";
    EXPECT_EQ(HostKernel::Now(), kStart + kTick) << "time stops where the event was signalled";
    EXPECT_EQ(KeReadStateEvent(&event), 0) << "the satisfied wait reset it";
}

TEST_F(EventTest, VirtualWaitRunsEveryTimerUpToTheSignallingOne) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    SignallingTimer signaller(&event, 2 * kTick, 4);
    std::vector<int64_t> other;
    KTIMER unrelated;
    KDPC unrelatedDpc;
    KeInitializeTimer(&unrelated);
    KeInitializeDpc(
        &unrelatedDpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            static_cast<std::vector<int64_t>*>(context)->push_back(HostKernel::Now());
        },
        &other);
    LARGE_INTEGER early, late;
    early.QuadPart = kStart + 400000;
    late.QuadPart = kStart + 50000000;
    KeSetTimer(&unrelated, early, &unrelatedDpc);
    signaller.Arm();
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    ASSERT_EQ(signaller.runs.size(), 4u);
    for (int k = 0; k < 4; ++k) {
        EXPECT_EQ(signaller.runs[k], kStart + (k + 1) * 2 * kTick);
    }
    ASSERT_EQ(other.size(), 1u) << "a timer due before the signal runs on the way";
    EXPECT_EQ(other[0], kStart + 3 * kTick);
    KeSetTimer(&unrelated, late, &unrelatedDpc);
    EXPECT_EQ(Wait(&event), STATUS_UNSUCCESSFUL)
        << "nothing will signal it again, only an unrelated timer is set";
    ExpectViolations({Rule::Other});
    EXPECT_EQ(other.size(), 2u) << "the later timer ran while the wait looked for a signal";
}

TEST_F(EventTest, PassiveWorkCarriedByADpcMayWaitOnTheVirtualClock) {
    // Class-library code may use a DPC only to reach a point after the DPC
    // that asked for work, and run that work at PASSIVE_LEVEL; the work may
    // wait for a timer, which the same thread must then be able to run.
    struct Carrier {
        KDPC dpc;
        KEVENT done;
        SignallingTimer* signaller;
        NTSTATUS status = STATUS_PENDING;
    } carrier;
    KeInitializeEvent(&carrier.done, SynchronizationEvent, FALSE);
    SignallingTimer signaller(&carrier.done, 1000, 1);
    carrier.signaller = &signaller;
    KeInitializeDpc(
        &carrier.dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            auto* c = static_cast<Carrier*>(context);
            host::ScopedIrql passive(PASSIVE_LEVEL);
            c->signaller->Arm();
            c->status = Wait(&c->done);
        },
        &carrier);
    KeInsertQueueDpc(&carrier.dpc, nullptr, nullptr);
    HostKernel::DrainDpcs();
    EXPECT_EQ(carrier.status, STATUS_SUCCESS);
    ASSERT_EQ(signaller.runs.size(), 1u);
    EXPECT_EQ(signaller.runs[0], kStart + kTick);
}

TEST_F(EventTest, VirtualWaitRunsQueuedDpcsFirst) {
    KEVENT event;
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    KDPC dpc;
    KeInitializeDpc(
        &dpc,
        [](PKDPC, PVOID context, PVOID, PVOID) {
            KeSetEvent(static_cast<KEVENT*>(context), 0, FALSE);
        },
        &event);
    KeInsertQueueDpc(&dpc, nullptr, nullptr);
    EXPECT_EQ(Wait(&event), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), kStart);
}

TEST_F(EventTest, VirtualWaitWithNothingToSignalReportsInsteadOfHanging) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    EXPECT_EQ(Wait(&event), STATUS_UNSUCCESSFUL);
    auto violations = host::Verifier::Violations();
    ASSERT_EQ(violations.size(), 1u);
    EXPECT_NE(violations[0].detail.find("block forever"), std::string::npos)
        << violations[0].detail;
    ExpectViolations({Rule::Other});
}

TEST_F(EventTest, VirtualWaitWithATimeoutStopsAtTheDeadline) {
    KEVENT event;
    KeInitializeEvent(&event, SynchronizationEvent, FALSE);
    SignallingTimer signaller(&event, 4 * kTick, 1);
    signaller.Arm();
    LARGE_INTEGER timeout;
    timeout.QuadPart = -2 * kTick + 1000;  // a time-out is a timer too: seen at an interrupt
    EXPECT_EQ(Wait(&event, &timeout), kStatusTimeout);
    EXPECT_EQ(HostKernel::Now(), kStart + 2 * kTick);
    EXPECT_TRUE(signaller.runs.empty());
    timeout.QuadPart = -20 * kTick;
    EXPECT_EQ(Wait(&event, &timeout), STATUS_SUCCESS);
    EXPECT_EQ(HostKernel::Now(), kStart + 4 * kTick);
}

}  // namespace
