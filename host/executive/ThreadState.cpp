#include "host/executive/ThreadState.h"

#include "host/executive/CriticalRegion.h"
#include "host/verifier/LockOrderGraph.h"

#include <atomic>

namespace host {

namespace {

struct State {
    KIRQL irql = PASSIVE_LEVEL;
    bool inDpc = false;
    ULONG_PTR id = 0;
};

State& Current() {
    static thread_local State state;
    return state;
}

std::atomic<ULONG_PTR> nextId{1};

}  // namespace

KIRQL ThreadState::Irql() {
    return Current().irql;
}
void ThreadState::SetIrql(KIRQL irql) {
    Current().irql = irql;
}
bool ThreadState::InDpc() {
    return Current().inDpc;
}
void ThreadState::SetInDpc(bool inDpc) {
    Current().inDpc = inDpc;
}

ULONG_PTR ThreadState::Id() {
    State& state = Current();
    if (state.id == 0) {
        state.id = nextId.fetch_add(1, std::memory_order_relaxed);
    }
    return state.id;
}

void ThreadState::ResetCurrentThread() {
    State& state = Current();
    state.irql = PASSIVE_LEVEL;
    state.inDpc = false;
    LockOrderGraph::Instance().ForgetHeldByCurrentThread();
    CriticalRegion::ResetCurrentThread();
}

}  // namespace host
