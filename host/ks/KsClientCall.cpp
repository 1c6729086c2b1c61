#include "host/ks/KsClientCall.h"

#include "host/ks/KsPinProcessor.h"

#include <deque>

namespace host::ks {

namespace {

// Per thread: the nesting depth of client calls and the processors whose run
// waits for the outermost call to end. Only the owning thread touches them.
thread_local int tDepth = 0;
thread_local std::deque<std::shared_ptr<KsPinProcessor>>* tDeferred = nullptr;

}  // namespace

KsClientCall::KsClientCall() {
    ++tDepth;
}

KsClientCall::~KsClientCall() {
    if (tDepth > 1) {
        --tDepth;
        return;
    }
    // Outermost: run what was deferred. Runs may defer more (Process asking
    // for itself again); the depth stays 1 meanwhile, so those join the queue.
    while (tDeferred != nullptr && !tDeferred->empty()) {
        std::shared_ptr<KsPinProcessor> next = std::move(tDeferred->front());
        tDeferred->pop_front();
        next->RunDeferred();
    }
    delete tDeferred;
    tDeferred = nullptr;
    tDepth = 0;
}

bool KsClientCall::Active() {
    return tDepth > 0;
}

void KsClientCall::Defer(std::shared_ptr<KsPinProcessor> processor) {
    if (tDeferred == nullptr) {
        tDeferred = new std::deque<std::shared_ptr<KsPinProcessor>>();
    }
    for (const auto& queued : *tDeferred) {
        if (queued == processor) {
            return;
        }
    }
    tDeferred->push_back(std::move(processor));
}

}  // namespace host::ks
