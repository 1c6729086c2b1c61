#include "host/ks/KsPinProcessor.h"

#include <host/executive/HostKernel.h>
#include <host/verifier/Verifier.h>

#include "host/ks/KsClientCall.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsRules.h"
#include "host/variants/Variants.h"

#include <cstring>
#include <string>

namespace host::ks {

namespace {

constexpr int kMaxCallsPerPass = 4096;

}  // namespace

KsPinProcessor::KsPinProcessor(KsPinObject* pin)
    : pin_(pin),
      owner_(std::thread::id()),
      requested_(false),
      started_(false),
      shutdown_(false),
      blocked_(false),
      driverHolds_(false),
      retryAtRelease_(false),
      inProcess_(std::thread::id()),
      virtualClock_(true),
      wake_(false),
      stop_(false) {
    std::memset(&dpc_, 0, sizeof dpc_);
}

KsPinProcessor::~KsPinProcessor() {
    Shutdown();
    Verifier::ForgetLock(this);
}

void KsPinProcessor::Start() {
    virtualClock_ = HostKernel::Mode() == ClockMode::Virtual;
    if (virtualClock_) {
        KeInitializeDpc(&dpc_, &KsPinProcessor::PassDpc, this);
    } else {
        thread_ = std::thread(&KsPinProcessor::ThreadMain, this);
    }
    started_.store(true);
}

void KsPinProcessor::Shutdown() {
    if (shutdown_.exchange(true)) {
        return;
    }
    if (thread_.joinable()) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            stop_ = true;
        }
        wakeCv_.notify_all();
        thread_.join();
    }
    if (dpc_.DeferredRoutine != nullptr) {
        KeRemoveQueueDpc(&dpc_);
    }
}

void KsPinProcessor::Request() {
    if (!started_.load() || shutdown_.load()) {
        return;
    }
    if (inProcess_.load() != std::thread::id() &&
        Variants::Is(Variant::AttemptDuringProcess, "ignored")) {
        return;
    }
    if (driverHolds_.load()) {
        if (Variants::Is(Variant::AttemptUnderProcessingMutex, "dropped")) {
            return;
        }
        if (Variants::Is(Variant::AttemptUnderProcessingMutex, "retried-at-release")) {
            retryAtRelease_.store(true);
            return;
        }
        // waits: the pass below blocks on the mutex until the driver lets go.
    }
    requested_.store(true);
    if (!virtualClock_) {
        {
            std::lock_guard<std::mutex> lock(wakeMutex_);
            wake_ = true;
        }
        wakeCv_.notify_all();
        return;
    }
    if (KeGetCurrentIrql() >= DISPATCH_LEVEL || !KsClientCall::Active()) {
        KeInsertQueueDpc(&dpc_, nullptr, nullptr);
        return;
    }
    KsClientCall::Defer(shared_from_this());
}

void KsPinProcessor::RunDeferred() {
    Pass();
}

void KsPinProcessor::PassDpc(PKDPC, PVOID context, PVOID, PVOID) {
    auto* self = static_cast<KsPinProcessor*>(context);
    // The DPC only carries the pass to the point right after the DPC that
    // asked for it; the pass itself runs at PASSIVE_LEVEL.
    ScopedIrql passive(PASSIVE_LEVEL);
    KsClientCall call;
    self->Pass();
}

void KsPinProcessor::ThreadMain() {
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(wakeMutex_);
            wakeCv_.wait(lock, [this] { return wake_ || stop_; });
            if (stop_) {
                return;
            }
            wake_ = false;
        }
        Pass();
    }
}

void KsPinProcessor::Pass() {
    if (shutdown_.load()) {
        return;
    }
    if (HeldByCurrentThread()) {
        // This thread is inside one of the pin's callbacks (a state change
        // that waits for the tick that asked for processing): run after it.
        if (KsClientCall::Active()) {
            KsClientCall::Defer(shared_from_this());
        }
        return;
    }
    Lock();
    if (blocked_.load()) {
        // A control callback runs (serialized variant): the trigger stays
        // asked for and UnblockPasses runs the pass.
        Unlock();
        return;
    }
    bool again = false;
    int idleSuccesses = 0;
    for (int call = 0; call < kMaxCallsPerPass && !shutdown_.load(); ++call) {
        bool asked = requested_.exchange(false);
        if (!asked && !again) {
            break;
        }
        if (!pin_->ProcessingAllowed()) {
            again = false;
            continue;
        }
        const uint64_t edgeBefore = pin_->EdgePosition();
        inProcess_.store(std::this_thread::get_id());
        NTSTATUS status = pin_->CallProcess();
        inProcess_.store(std::thread::id());
        const bool success =
            status == STATUS_SUCCESS || (!NT_SUCCESS(status) && status != STATUS_PENDING &&
                                         Variants::Is(Variant::ProcessError, "like-success"));
        again = success && pin_->FrameAtEdge();
        if (!again) {
            idleSuccesses = 0;
            continue;
        }
        idleSuccesses = pin_->EdgePosition() == edgeBefore ? idleSuccesses + 1 : 0;
        if (idleSuccesses >= kSpinLimit) {
            KsRules::Report(Rule::KsObject, "pin Process",
                            KsRules::RoutineSite(pin_->ProcessRoutine()),
                            "returned STATUS_SUCCESS " + std::to_string(kSpinLimit) +
                                " times in a row without moving the leading edge: the class "
                                "library calls it again at once while data is at the pin, so "
                                "this spins forever");
            again = false;
            idleSuccesses = 0;
        }
    }
    Unlock();
}

void KsPinProcessor::Lock() {
    mutex_.lock();
    owner_.store(std::this_thread::get_id());
    Verifier::NoteLockAcquired(this, "KS pin processing mutex");
}

void KsPinProcessor::Unlock() {
    Verifier::NoteLockReleased(this);
    owner_.store(std::thread::id());
    mutex_.unlock();
}

void KsPinProcessor::BlockPasses() {
    blocked_.store(true);
    if (!HeldByCurrentThread()) {
        Lock();  // waits for the Process call in flight
        Unlock();
    }
}

void KsPinProcessor::UnblockPasses() {
    blocked_.store(false);
    if (requested_.load()) {
        Request();
    }
}

void KsPinProcessor::DriverLock(const void* caller) {
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsPinAcquireProcessingMutex", caller);
    if (inProcess_.load() == std::this_thread::get_id() || HeldByCurrentThread()) {
        // Process already runs under it; the mutex is not recursive.
        KsRules::Report(Rule::KsObject, "KsPinAcquireProcessingMutex", caller,
                        "called while the processing mutex is already held by this thread "
                        "(inside Process, or acquired twice): it is not recursive");
        return;
    }
    ++driverWaiters_;
    Lock();
    --driverWaiters_;
    driverHolds_.store(true);
    driverSince_ = HostKernel::Now();
}

void KsPinProcessor::DriverUnlock(const void* caller) {
    KsRules::IrqlAtMost(PASSIVE_LEVEL, "KsPinReleaseProcessingMutex", caller);
    if (!HeldByCurrentThread() || !driverHolds_.load()) {
        KsRules::Report(Rule::KsObject, "KsPinReleaseProcessingMutex", caller,
                        "the processing mutex was released without being acquired");
        return;
    }
    // Driver Verifier's AVStream rule: held no longer than 100 ms.
    constexpr int64_t kHoldLimit = 100 * 10000;
    const int64_t held = HostKernel::Now() - driverSince_;
    if (held > kHoldLimit) {
        KsRules::Report(Rule::KsObject, "KsPinReleaseProcessingMutex", caller,
                        "the processing mutex was held for " + std::to_string(held / 10000) +
                            " ms (at most 100 ms)");
    }
    driverHolds_.store(false);
    Unlock();
    if (retryAtRelease_.exchange(false)) {
        Request();
    }
}

bool KsPinProcessor::HeldByCurrentThread() const {
    return owner_.load() == std::this_thread::get_id();
}

}  // namespace host::ks
