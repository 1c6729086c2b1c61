#include "host/ks/KsFaults.h"

#include <mutex>

namespace host {

namespace {

// All fault state, guarded by `mutex`.
struct FaultState {
    std::mutex mutex;
    uint64_t bagCalls = 0;
    uint64_t failBagNth = 0;
    KSOBJECT_BAG failBag = nullptr;
    bool failFactories = false;
    uint64_t cloneCalls = 0;
    uint64_t failCloneNth = 0;
    bool failAllClones = false;
};

FaultState& State() {
    static FaultState state;
    return state;
}

}  // namespace

void KsFaults::Clear() {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.bagCalls = 0;
    s.failBagNth = 0;
    s.failBag = nullptr;
    s.failFactories = false;
    s.cloneCalls = 0;
    s.failCloneNth = 0;
    s.failAllClones = false;
}

void KsFaults::FailBagInsertion(uint64_t nth) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failBagNth = nth;
}

void KsFaults::FailBagInsertionsInto(KSOBJECT_BAG bag) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failBag = bag;
}

void KsFaults::FailFilterFactoryCreation(bool on) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failFactories = on;
}

void KsFaults::FailClone(uint64_t nth) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failCloneNth = nth;
}

void KsFaults::FailAllClones(bool on) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    s.failAllClones = on;
}

uint64_t KsFaults::BagInsertions() {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.bagCalls;
}

uint64_t KsFaults::Clones() {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.cloneCalls;
}

bool KsFaults::ShouldFailBagInsertion(KSOBJECT_BAG bag) {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.bagCalls;
    return s.bagCalls == s.failBagNth || (s.failBag != nullptr && s.failBag == bag);
}

bool KsFaults::ShouldFailFilterFactory() {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    return s.failFactories;
}

bool KsFaults::ShouldFailClone() {
    FaultState& s = State();
    std::lock_guard<std::mutex> lock(s.mutex);
    ++s.cloneCalls;
    return s.failAllClones || s.cloneCalls == s.failCloneNth;
}

}  // namespace host
