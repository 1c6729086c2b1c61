// Marks a request that a user-mode client makes of the class library (a PnP
// request, a filter open, a property request, a pin's create, state change,
// format change, frame submission or close) for the length of the call.
//
// On the virtual clock, processing that a client call triggers (a frame
// arriving at an empty leading edge, a pin entering RUN, KsPinAttemptProcessing
// at PASSIVE_LEVEL inside the call) is deferred here and runs synchronously at
// the end of the outermost client call on the calling thread, at PASSIVE_LEVEL,
// in the order it was asked for. Scopes nest; only the outermost one drains.
#pragma once

#include <memory>

namespace host::ks {

class KsPinProcessor;

class KsClientCall {
  public:
    KsClientCall();
    ~KsClientCall();
    KsClientCall(const KsClientCall&) = delete;
    KsClientCall& operator=(const KsClientCall&) = delete;

    // True while the calling thread is inside a client call.
    static bool Active();
    // Runs `processor` at the end of the calling thread's outermost client
    // call (once, however often it is deferred before then).
    static void Defer(std::shared_ptr<KsPinProcessor> processor);
};

}  // namespace host::ks
