#include "host/ks/KsPinProcessor.h"

#include <host/executive/HostKernel.h>
#include <host/verifier/Verifier.h>

#include "host/ks/KsClientCall.h"
#include "host/ks/KsPinObject.h"

#include <cstring>

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
    bool again = false;
    for (int call = 0; call < kMaxCallsPerPass && !shutdown_.load(); ++call) {
        bool asked = requested_.exchange(false);
        if (!asked && !again) {
            break;
        }
        if (!pin_->ProcessingAllowed()) {
            again = false;
            continue;
        }
        uint64_t before = pin_->Generation();
        NTSTATUS status = pin_->CallProcess();
        again = status == STATUS_SUCCESS && pin_->FrameAtEdge() && pin_->Generation() != before;
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

bool KsPinProcessor::HeldByCurrentThread() const {
    return owner_.load() == std::this_thread::get_id();
}

}  // namespace host::ks
