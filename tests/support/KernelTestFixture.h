// gtest fixture for anything that runs on the host kernel: boots the clock
// (virtual by default), starts each test with a clean verifier, and at the end
// fails the test on any verifier violation, on any pool block the test
// allocated and did not free, and on timers, DPCs or lookaside lists left
// behind (the unload checks). A test that provokes violations on purpose
// checks them with ExpectViolations, which also clears them.
#pragma once

#include <host/executive/HostKernel.h>
#include <host/verifier/Verifier.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <initializer_list>
#include <string>
#include <vector>

class KernelTestFixture : public ::testing::Test {
  protected:
    explicit KernelTestFixture(host::ClockMode mode = host::ClockMode::Virtual) : mode_(mode) {}

    void SetUp() override {
        host::HostKernel::Boot(mode_);
        host::Verifier::Reset();
        mark_ = host::Verifier::AllocationMark();
    }

    void TearDown() override {
        // The real clock's threads stop first, so nothing runs during the checks.
        host::HostKernel::Shutdown();
        if (checkUnload_) {
            host::Verifier::CheckUnload();
        }
        EXPECT_EQ(host::Verifier::ViolationCount(), 0u) << host::Verifier::Describe();
        if (checkLeaks_) {
            std::vector<host::PoolBlockInfo> leaked = host::Verifier::OutstandingSince(mark_);
            EXPECT_TRUE(leaked.empty()) << "pool blocks allocated by the test and not freed:\n"
                                        << host::Verifier::DescribeBlocks(leaked);
        }
        host::Verifier::Reset();
    }

    // Asserts that the violations recorded so far are exactly `rules` (in any
    // order, with repeats), then clears them and the verifier's other state.
    void ExpectViolations(std::initializer_list<host::Rule> rules) {
        std::vector<host::Rule> expected(rules);
        std::vector<host::Rule> actual;
        for (const auto& violation : host::Verifier::Violations()) {
            actual.push_back(violation.rule);
        }
        auto byValue = [](host::Rule a, host::Rule b) {
            return static_cast<int>(a) < static_cast<int>(b);
        };
        std::sort(expected.begin(), expected.end(), byValue);
        std::sort(actual.begin(), actual.end(), byValue);
        std::string wanted;
        for (host::Rule rule : expected) {
            wanted += std::string(" ") + host::RuleName(rule);
        }
        EXPECT_TRUE(expected == actual)
            << "expected violations:" << (wanted.empty() ? " none" : wanted) << "\nbut got "
            << host::Verifier::Describe();
        host::Verifier::Reset();
    }

    // Text of the first violation's detail (for checking what a report names).
    static std::string FirstDetail() {
        auto list = host::Verifier::Violations();
        return list.empty() ? std::string() : list.front().detail;
    }

    host::ClockMode mode_;
    bool checkUnload_ = true;  // run Verifier::CheckUnload at the end
    bool checkLeaks_ = true;   // fail on blocks allocated by the test and still outstanding
    uint64_t mark_ = 0;        // allocation serial at SetUp
};

// The same, on the real clock (timer and DPC threads, wall-clock time).
class RealClockKernelTestFixture : public KernelTestFixture {
  protected:
    RealClockKernelTestFixture() : KernelTestFixture(host::ClockMode::Real) {}
};
