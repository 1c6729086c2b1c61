#include "host/executive/ThreadState.h"

#include <atomic>
#include <map>

namespace host {

namespace {

struct State {
    KIRQL irql = PASSIVE_LEVEL;
    bool inDpc = false;
    ULONG_PTR id = 0;
    std::map<const void*, int> rundown;  // rundown refs held, with counts
};

State& Current() {
    static thread_local State state;
    return state;
}

std::atomic<ULONG_PTR> nextId{1};

}  // namespace

KIRQL ThreadState::Irql() { return Current().irql; }
void ThreadState::SetIrql(KIRQL irql) { Current().irql = irql; }
bool ThreadState::InDpc() { return Current().inDpc; }
void ThreadState::SetInDpc(bool inDpc) { Current().inDpc = inDpc; }

ULONG_PTR ThreadState::Id() {
    State& state = Current();
    if (state.id == 0) {
        state.id = nextId.fetch_add(1, std::memory_order_relaxed);
    }
    return state.id;
}

int ThreadState::HeldRundown(const void* runRef) {
    auto& held = Current().rundown;
    auto it = held.find(runRef);
    return it == held.end() ? 0 : it->second;
}

void ThreadState::NoteRundown(const void* runRef, int delta) {
    auto& held = Current().rundown;
    int count = (held[runRef] += delta);
    if (count <= 0) {
        held.erase(runRef);
    }
}

}  // namespace host
