// Seeded interleavings on the virtual clock: pushes, submissions (and the
// Process calls they bring), ticks, state walks, pin and filter closes, a
// rival claim and device restarts in the order a seed draws, with the
// camera's invariants checked after every step (see InterleavingRun.h).
//
// The test run covers seeds 1 to 40 and ten fresh seeds, printed. A failing
// seed is printed as "seed S failed at step N: ..."; VCAM_SEED=S runs that
// seed alone, printing every step, and replays the failing run exactly.
#include <gtest/gtest.h>

#include "reliability/InterleavingRun.h"
#include "support/KernelTestFixture.h"

#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

namespace {

using reliability::InterleavingRun;

constexpr int kStepsPerSeed = 300;
constexpr uint64_t kFixedSeeds = 40;
constexpr int kFreshSeeds = 10;

class InterleavingTest : public KernelTestFixture {};

TEST_F(InterleavingTest, EveryInvariantHoldsAfterEveryStepOfEverySeed) {
    std::vector<uint64_t> seeds;
    const char* replay = std::getenv("VCAM_SEED");
    const bool replaying = replay != nullptr && *replay != '\0';
    if (replaying) {
        seeds.push_back(std::strtoull(replay, nullptr, 10));
    } else {
        for (uint64_t seed = 1; seed <= kFixedSeeds; ++seed) {
            seeds.push_back(seed);
        }
        std::random_device entropy;
        for (int i = 0; i < kFreshSeeds; ++i) {
            const uint64_t seed = (static_cast<uint64_t>(entropy()) << 32) ^ entropy();
            std::printf("interleavings: fresh seed %" PRIu64 "\n", seed);
            seeds.push_back(seed);
        }
    }

    uint64_t steps = 0;
    uint64_t delivered = 0;
    size_t failures = 0;
    std::string report;
    for (uint64_t seed : seeds) {
        InterleavingRun run(seed, kStepsPerSeed, replaying);
        const std::string failure = run.Run();
        steps += static_cast<uint64_t>(run.StepsRun());
        delivered += run.Delivered();
        if (!failure.empty()) {
            ++failures;
            char head[96];
            std::snprintf(head, sizeof head, "seed %" PRIu64 " failed at step %d: ", seed,
                          run.FailedStep());
            std::printf("%s%s\n", head, failure.c_str());
            report += head + failure.substr(0, failure.find('\n')) + "\n";
        }
    }
    std::printf("interleavings: %zu seeds run, %" PRIu64 " steps, %zu failures (%" PRIu64
                " frames delivered)\n",
                seeds.size(), steps, failures, delivered);
    std::fflush(stdout);
    EXPECT_EQ(failures, 0u) << report;
    // The runs really stream: a scheduler that never reached RUN with
    // buffers queued would make every invariant hold vacuously.
    EXPECT_GT(delivered, seeds.size() * 10);
}

TEST_F(InterleavingTest, ASeedReplaysTheSameRunAndAnotherSeedDoesNot) {
    InterleavingRun first(7, 120, false);
    ASSERT_EQ(first.Run(), "");
    InterleavingRun again(7, 120, false);
    ASSERT_EQ(again.Run(), "");
    InterleavingRun other(8, 120, false);
    ASSERT_EQ(other.Run(), "");
    EXPECT_EQ(first.Digest(), again.Digest());
    EXPECT_EQ(first.StepsRun(), again.StepsRun());
    EXPECT_NE(first.Digest(), other.Digest());
}

}  // namespace
