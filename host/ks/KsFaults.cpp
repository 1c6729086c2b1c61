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

// Runs `use` on the fault state with its mutex held; returns what it returns.
template <typename Use>
auto WithState(Use use) {
    FaultState& state = State();
    std::lock_guard<std::mutex> lock(state.mutex);
    return use(state);
}

}  // namespace

void KsFaults::Clear() {
    WithState([&](FaultState& s) {
        s.bagCalls = 0;
        s.failBagNth = 0;
        s.failBag = nullptr;
        s.failFactories = false;
        s.cloneCalls = 0;
        s.failCloneNth = 0;
        s.failAllClones = false;
    });
}

void KsFaults::FailBagInsertion(uint64_t nth) {
    WithState([&](FaultState& s) { s.failBagNth = nth; });
}

void KsFaults::FailBagInsertionsInto(KSOBJECT_BAG bag) {
    WithState([&](FaultState& s) { s.failBag = bag; });
}

void KsFaults::FailFilterFactoryCreation(bool on) {
    WithState([&](FaultState& s) { s.failFactories = on; });
}

void KsFaults::FailClone(uint64_t nth) {
    WithState([&](FaultState& s) { s.failCloneNth = nth; });
}

void KsFaults::FailAllClones(bool on) {
    WithState([&](FaultState& s) { s.failAllClones = on; });
}

uint64_t KsFaults::BagInsertions() {
    return WithState([&](FaultState& s) { return s.bagCalls; });
}

uint64_t KsFaults::Clones() {
    return WithState([&](FaultState& s) { return s.cloneCalls; });
}

bool KsFaults::ShouldFailBagInsertion(KSOBJECT_BAG bag) {
    return WithState([&](FaultState& s) {
        ++s.bagCalls;
        return s.bagCalls == s.failBagNth || (s.failBag != nullptr && s.failBag == bag);
    });
}

bool KsFaults::ShouldFailFilterFactory() {
    return WithState([&](FaultState& s) { return s.failFactories; });
}

bool KsFaults::ShouldFailClone() {
    return WithState([&](FaultState& s) {
        ++s.cloneCalls;
        return s.failAllClones || s.cloneCalls == s.failCloneNth;
    });
}

}  // namespace host
