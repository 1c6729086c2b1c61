// The executive's record of how long DPC routines run: every run of every
// routine is counted and timed, the routines timers queue are told from
// those queued directly, and a boot starts a fresh record.
#include "support/KernelTestFixture.h"

#include <host/ntddk.h>

#include <algorithm>
#include <vector>

using host::DpcRoutineTiming;
using host::HostKernel;

namespace {

void TimerRoutine(PKDPC, PVOID, PVOID, PVOID) {}
void QueuedRoutine(PKDPC, PVOID, PVOID, PVOID) {}

const DpcRoutineTiming* Find(const std::vector<DpcRoutineTiming>& timings,
                             PKDEFERRED_ROUTINE routine) {
    auto found = std::find_if(timings.begin(), timings.end(), [routine](const DpcRoutineTiming& t) {
        return t.routine == reinterpret_cast<const void*>(routine);
    });
    return found == timings.end() ? nullptr : &*found;
}

class DpcTimingTest : public KernelTestFixture {};

TEST_F(DpcTimingTest, EachRunIsTimedPerRoutineAndTimerRoutinesAreMarked) {
    KTIMER timer;
    KDPC timerDpc, queuedDpc;
    KeInitializeTimer(&timer);
    KeInitializeDpc(&timerDpc, TimerRoutine, nullptr);
    KeInitializeDpc(&queuedDpc, QueuedRoutine, nullptr);
    for (int run = 0; run < 3; ++run) {
        LARGE_INTEGER due;
        due.QuadPart = -10000;
        KeSetTimer(&timer, due, &timerDpc);
        // It expires at the clock interrupt at or after its due time.
        HostKernel::AdvanceTo(HostKernel::NextExpiry());
    }
    KeInsertQueueDpc(&queuedDpc, nullptr, nullptr);
    HostKernel::DrainDpcs();

    const std::vector<DpcRoutineTiming> timings = HostKernel::DpcRoutineTimings();
    const DpcRoutineTiming* timed = Find(timings, TimerRoutine);
    const DpcRoutineTiming* queued = Find(timings, QueuedRoutine);
    ASSERT_NE(timed, nullptr);
    ASSERT_NE(queued, nullptr);
    EXPECT_TRUE(timed->timerDpc);
    EXPECT_EQ(timed->runs, 3u);
    ASSERT_EQ(timed->microseconds.size(), 3u);
    EXPECT_EQ(*std::max_element(timed->microseconds.begin(), timed->microseconds.end()),
              timed->maxMicroseconds);
    EXPECT_FALSE(queued->timerDpc);
    EXPECT_EQ(queued->runs, 1u);

    HostKernel::Boot(host::ClockMode::Virtual);
    EXPECT_TRUE(HostKernel::DpcRoutineTimings().empty());
}

}  // namespace
