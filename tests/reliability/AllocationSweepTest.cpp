// Systematic low-resources simulation over the camera's whole life, in the
// manner of Driver Verifier's: the life is run once clean to count what it
// allocates, then once more for every single allocation, with exactly that
// one failing - every pool and lookaside allocation, every bag insertion and
// stream pointer clone of the class library, and the filter factory of each
// device start. Each run must refuse in the step that owns the failing
// allocation with the status that step documents (or absorb it, where the
// failure is not a status: queue entries and clones are retried on the next
// tick), recover when retried, stream the right images to the end, and leave
// no pool block, no timer and no verifier violation behind.
#include <gtest/gtest.h>

#include "reliability/LifecycleScenario.h"
#include "support/KernelTestFixture.h"

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

namespace {

using reliability::LifecycleScenario;
using reliability::ScenarioResult;
using reliability::Starve;
using reliability::StarveName;
using reliability::StepUse;

// The step of the clean run during which the n-th occurrence of `what`
// happened (each span is (begin, end] in 1-based numbering), or null.
const StepUse* StepHolding(const std::vector<StepUse>& steps, Starve what, uint64_t n) {
    for (const StepUse& step : steps) {
        uint64_t begin = 0;
        uint64_t end = 0;
        switch (what) {
            case Starve::PoolAllocation:
                begin = step.poolBegin;
                end = step.poolEnd;
                break;
            case Starve::BagInsertion:
                begin = step.bagBegin;
                end = step.bagEnd;
                break;
            case Starve::Clone:
                begin = step.cloneBegin;
                end = step.cloneEnd;
                break;
            case Starve::FilterFactory:
                begin = step.factoryBegin;
                end = step.factoryEnd;
                break;
            case Starve::Nothing:
                return nullptr;
        }
        if (begin < n && n <= end) {
            return &step;
        }
    }
    return nullptr;
}

std::string Join(const std::vector<std::string>& items) {
    std::string text;
    for (const std::string& item : items) {
        text += (text.empty() ? "" : ", ") + item;
    }
    return text.empty() ? "none" : text;
}

class AllocationSweepTest : public KernelTestFixture {};

TEST_F(AllocationSweepTest, EveryAllocationOfTheWholeLifeFailsOnceAndTheCameraRecovers) {
    ScenarioResult clean = LifecycleScenario(Starve::Nothing, 0).Run();
    ASSERT_TRUE(clean.failure.empty()) << "the clean life failed: " << clean.failure;
    ASSERT_TRUE(clean.refusals.empty()) << Join(clean.refusals);
    // Every kind of resource is really used by the life; otherwise its sweep
    // would pass vacuously.
    ASSERT_GT(clean.poolAllocations, 0u);
    ASSERT_GT(clean.bagInsertions, 0u);
    ASSERT_GT(clean.clones, 0u);
    ASSERT_EQ(clean.factoryCreations, 1u);  // at Add; starts make none

    struct Sweep {
        Starve what;
        uint64_t count;
    };
    const Sweep sweeps[] = {
        {Starve::PoolAllocation, clean.poolAllocations},
        {Starve::BagInsertion, clean.bagInsertions},
        {Starve::Clone, clean.clones},
        {Starve::FilterFactory, clean.factoryCreations},
    };

    uint64_t sites = 0;
    uint64_t runsClean = 0;
    std::vector<std::string> failures;
    for (const Sweep& sweep : sweeps) {
        for (uint64_t n = 1; n <= sweep.count; ++n) {
            ++sites;
            const StepUse* owner = StepHolding(clean.steps, sweep.what, n);
            const std::string label = std::string(StarveName(sweep.what)) + " #" +
                                      std::to_string(n) + " (in step \"" +
                                      (owner != nullptr ? owner->name : "?") + "\")";
            if (owner == nullptr) {
                failures.push_back(label + ": no step of the clean run made it");
                continue;
            }

            ScenarioResult run = LifecycleScenario(sweep.what, n).Run();
            std::string problem = run.failure;
            if (problem.empty() && run.injected != 1) {
                problem = "the failure never struck: the run took another path";
            }
            // The owning step answers its documented status once, or, where a
            // failure is no status, nobody refuses anything.
            const std::vector<std::string> expected =
                owner->refusalIsStatus ? std::vector<std::string>{owner->name + ": 0xC000009A"}
                                       : std::vector<std::string>{};
            if (problem.empty() && run.refusals != expected) {
                problem =
                    "refusals were [" + Join(run.refusals) + "], expected [" + Join(expected) + "]";
            }
            if (problem.empty()) {
                ++runsClean;
            } else {
                failures.push_back(label + ": " + problem);
            }
        }
    }

    std::printf("allocation sweep: %" PRIu64 " allocation sites covered, %" PRIu64
                " runs clean (%" PRIu64 " pool/lookaside allocations, %" PRIu64
                " bag insertions, %" PRIu64 " stream pointer clones, %" PRIu64
                " filter factories)\n",
                sites, runsClean, clean.poolAllocations, clean.bagInsertions, clean.clones,
                clean.factoryCreations);
    std::fflush(stdout);
    EXPECT_EQ(runsClean, sites);
    std::string report;
    for (const std::string& failure : failures) {
        report += "  " + failure + "\n";
    }
    EXPECT_TRUE(failures.empty()) << failures.size() << " run(s) failed:\n" << report;
}

}  // namespace
