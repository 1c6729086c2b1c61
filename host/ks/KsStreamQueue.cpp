#include "host/ks/KsStreamQueue.h"

#include "host/ks/KsFaults.h"
#include "host/ks/KsRules.h"
#include "host/variants/Variants.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace host::ks {

namespace {

// Deleted clones kept allocated so that a second delete is recognised.
constexpr size_t kQuarantine = 1024;

// Every stream pointer handed out and not yet freed, to its queue.
struct Registry {
    std::mutex mutex;  // a leaf: taken inside a queue's lock, never the other way
    std::unordered_map<const KSSTREAM_POINTER*, std::weak_ptr<KsStreamQueue>> pointers;
};

Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The Cancel callback running on this thread: its queue (whose lock the
// thread holds) and the clone being cancelled; null outside one.
struct CancelScope {
    const KsStreamQueue* queue;
    const KSSTREAM_POINTER* clone;
};
thread_local const CancelScope* tCancel = nullptr;

constexpr const char* kOnlyDeleteInCancel =
    "called from a Cancel callback, which runs at DISPATCH_LEVEL under the queue's spin lock: "
    "the only queue call allowed there is KsStreamPointerDelete of the clone being cancelled";

}  // namespace

// ------------------------------------------------------------------ registry

std::shared_ptr<KsStreamQueue> KsStreamQueue::QueueOf(PKSSTREAM_POINTER pointer) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.pointers.find(pointer);
    return it != r.pointers.end() ? it->second.lock() : nullptr;
}

void KsStreamQueue::RegisterPointer(PKSSTREAM_POINTER pointer, std::weak_ptr<KsStreamQueue> queue) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.pointers[pointer] = std::move(queue);
}

void KsStreamQueue::UnregisterPointer(PKSSTREAM_POINTER pointer, const KsStreamQueue* queue) {
    Registry& r = TheRegistry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.pointers.find(pointer);
    if (it != r.pointers.end()) {
        auto owner = it->second.lock();
        if (owner == nullptr || owner.get() == queue) {
            r.pointers.erase(it);
        }
    }
}

// ------------------------------------------------------------- construction

KsStreamQueue::KsStreamQueue(PKSPIN pin, KSPIN_DATAFLOW flow)
    : pin_(pin), flow_(flow), edge_(nullptr), nextTicket_(0), generation_(0) {
    edge_ = NewPointer(true, 0);
}

void KsStreamQueue::Initialize() {
    std::lock_guard<std::mutex> lock(mutex_);
    live_[edge_->pub] = edge_;
    RegisterPointer(edge_->pub, weak_from_this());
}

KsStreamQueue::~KsStreamQueue() {
    for (auto& entry : live_) {
        UnregisterPointer(entry.second->pub, nullptr);
    }
    for (Pointer* clone : clones_) {
        FreePointer(clone);
    }
    for (Pointer* old : quarantine_) {
        UnregisterPointer(old->pub, nullptr);
        FreePointer(old);
    }
    FreePointer(edge_);
    for (Frame* frame : order_) {
        delete frame;
    }
}

KsStreamQueue::Pointer* KsStreamQueue::NewPointer(bool edge, ULONG contextSize) {
    // The host's record, rounded up so the KSSTREAM_POINTER behind it is aligned.
    constexpr size_t kPointerHeader = (sizeof(Pointer) + 7) & ~static_cast<size_t>(7);
    // One block: the host's record, the KSSTREAM_POINTER, then the context.
    size_t bytes = kPointerHeader + sizeof(KSSTREAM_POINTER) + contextSize;
    auto* block = static_cast<UCHAR*>(::operator new(bytes));
    std::memset(block, 0, bytes);
    auto* pointer = new (block) Pointer();
    pointer->edge = edge;
    pointer->locked = false;
    pointer->frame = nullptr;
    pointer->cancel = nullptr;
    pointer->pub = reinterpret_cast<PKSSTREAM_POINTER>(block + kPointerHeader);
    pointer->pub->Pin = pin_;
    pointer->pub->Context =
        contextSize != 0 ? block + kPointerHeader + sizeof(KSSTREAM_POINTER) : nullptr;
    pointer->pub->Offset =
        flow_ == KSPIN_DATAFLOW_OUT ? &pointer->pub->OffsetOut : &pointer->pub->OffsetIn;
    return pointer;
}

void KsStreamQueue::FreePointer(Pointer* pointer) {
    pointer->~Pointer();
    ::operator delete(static_cast<void*>(pointer));
}

// --------------------------------------------------------------- client side

void KsStreamQueue::Submit(const void* header, ULONG headerSize, uint64_t* ticket,
                           bool* arrivedAtEmptyEdge) {
    auto* frame = new Frame();
    frame->headerBlock.reset(new uint64_t[(headerSize + 7) / 8]());
    frame->headerSize = headerSize;
    std::memcpy(frame->headerBlock.get(), header, headerSize);
    frame->data = frame->Header()->Data;
    frame->bufferSize = frame->Header()->FrameExtent;
    frame->cloneRefs = 0;
    frame->passed = false;
    frame->cancelRequested = false;
    frame->cancelled = false;
    frame->cancelling = false;

    std::lock_guard<std::mutex> lock(mutex_);
    frame->ticket = ++nextTicket_;
    frame->position = order_.insert(order_.end(), frame);
    *arrivedAtEmptyEdge = edge_->frame == nullptr;
    if (*arrivedAtEmptyEdge) {
        PlaceLocked(edge_, frame);
        edge_->locked = false;
    }
    if (ticket != nullptr) {
        *ticket = frame->ticket;
    }
    ++generation_;
}

NTSTATUS KsStreamQueue::CancelRead(uint64_t ticket) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = std::find_if(order_.begin(), order_.end(),
                           [ticket](const Frame* frame) { return frame->ticket == ticket; });
    if (it == order_.end()) {
        return STATUS_NOT_FOUND;
    }
    Frame* frame = *it;
    if (!frame->cancelRequested) {
        frame->cancelRequested = true;
        ++generation_;
        if (!IsLockedLocked(frame)) {
            CancelFrameLocked(frame);
        }
    }
    return STATUS_SUCCESS;
}

bool KsStreamQueue::TakeCompleted(KsCompletedFrame* frame) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (completed_.empty()) {
        return false;
    }
    *frame = std::move(completed_.front());
    completed_.pop_front();
    return true;
}

size_t KsStreamQueue::CompletedCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return completed_.size();
}

bool KsStreamQueue::WaitCompleted(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    return completedCv_.wait_until(lock, deadline, [this] { return !completed_.empty(); });
}

// ----------------------------------------------------------------- pin side

bool KsStreamQueue::FrameAtEdge() {
    std::lock_guard<std::mutex> lock(mutex_);
    return edge_->frame != nullptr;
}

uint64_t KsStreamQueue::EdgePosition() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (edge_->frame == nullptr) {
        return 0;
    }
    const KSSTREAM_POINTER_OFFSET& offset = *edge_->pub->Offset;
    return (edge_->frame->ticket << 32) ^ (offset.Count - offset.Remaining);
}

size_t KsStreamQueue::CloneCount() {
    std::lock_guard<std::mutex> lock(mutex_);
    return clones_.size();
}

size_t KsStreamQueue::QueuedFrames() {
    std::lock_guard<std::mutex> lock(mutex_);
    return order_.size();
}

void KsStreamQueue::CheckUnlockedAtStop() {
    std::lock_guard<std::mutex> lock(mutex_);
    int locked = edge_->locked ? 1 : 0;
    for (Pointer* clone : clones_) {
        locked += clone->locked ? 1 : 0;
    }
    if (locked == 0) {
        return;
    }
    KsRules::Report(Rule::StreamPointer, "KSSTATE_STOP", nullptr,
                    std::to_string(locked) + " stream pointer(s) of pin " +
                        std::to_string(pin_->Id) +
                        " still locked when the pin went to KSSTATE_STOP" +
                        (edge_->locked ? " (the leading edge among them)" : ""));
    edge_->locked = false;
    for (Pointer* clone : clones_) {
        clone->locked = false;
    }
    RunDueCancelsLocked();
}

void KsStreamQueue::Flush() {
    FlushFrom(Variants::Is(Variant::LeadingEdgeAtStop, "kept"));
}

void KsStreamQueue::StopClones() {
    if (Variants::Is(Variant::StopFrames, "cancel-clones")) {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<PKSSTREAM_POINTER> calls;
        for (Pointer* clone : clones_) {
            if (!clone->locked && clone->cancel != nullptr) {
                calls.push_back(clone->pub);
            }
        }
        for (PKSSTREAM_POINTER pub : calls) {
            auto it = live_.find(pub);
            if (it != live_.end()) {
                RunCancelLocked(it->second);
            }
        }
    } else if (Variants::Is(Variant::StopFrames, "wait-for-clones")) {
        const size_t left = CloneCount();
        if (left != 0) {
            KsRules::Report(Rule::StreamPointer, "KSSTATE_STOP", nullptr,
                            std::to_string(left) + " clone(s) of pin " + std::to_string(pin_->Id) +
                                " not deleted at STOP: the stop waits for them and never ends");
        }
    }
}

void KsStreamQueue::FlushFrom(bool keepEdge) {
    std::lock_guard<std::mutex> lock(mutex_);
    Frame* first = edge_->frame;
    edge_->locked = false;
    if (keepEdge && first != nullptr) {
        auto after = std::next(first->position);
        first = after != order_.end() ? *after : nullptr;
    } else {
        PlaceLocked(edge_, nullptr);
    }
    if (first == nullptr) {
        return;
    }
    std::vector<Frame*> pending(first->position, order_.end());
    for (Frame* frame : pending) {
        frame->passed = true;
        MaybeCompleteLocked(frame, STATUS_CANCELLED);
    }
    ++generation_;
}

void KsStreamQueue::ReleaseAtClose() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!clones_.empty()) {
            KsRules::Report(Rule::StreamPointer, "pin close", nullptr,
                            std::to_string(clones_.size()) + " clone stream pointer(s) of pin " +
                                std::to_string(pin_->Id) +
                                " still outstanding when the pin was closed");
            while (!clones_.empty()) {
                DeleteCloneLocked(clones_.front());
            }
        }
    }
    FlushFrom(false);
}

// ------------------------------------------------------------ queue helpers

void KsStreamQueue::PlaceLocked(Pointer* pointer, Frame* frame) {
    pointer->frame = frame;
    KSSTREAM_POINTER& pub = *pointer->pub;
    if (frame == nullptr) {
        pub.StreamHeader = nullptr;
        pub.OffsetIn = KSSTREAM_POINTER_OFFSET{nullptr, 0, 0};
        pub.OffsetOut = KSSTREAM_POINTER_OFFSET{nullptr, 0, 0};
        return;
    }
    PKSSTREAM_HEADER header = frame->Header();
    auto* data = static_cast<PUCHAR>(header->Data);
    ULONG outCount = data != nullptr ? header->FrameExtent : 0;
    ULONG inCount = data != nullptr ? header->DataUsed : 0;
    pub.StreamHeader = header;
    pub.OffsetOut = KSSTREAM_POINTER_OFFSET{data, outCount, outCount};
    pub.OffsetIn = KSSTREAM_POINTER_OFFSET{data, inCount, inCount};
}

KsStreamQueue::Frame* KsStreamQueue::NextLiveLocked(Frame* frame) {
    auto it = frame != nullptr ? std::next(frame->position) : order_.begin();
    while (it != order_.end() && (*it)->cancelled) {
        ++it;
    }
    return it != order_.end() ? *it : nullptr;
}

bool KsStreamQueue::IsLockedLocked(const Frame* frame) const {
    if (edge_->frame == frame && edge_->locked) {
        return true;
    }
    return std::any_of(clones_.begin(), clones_.end(), [frame](const Pointer* clone) {
        return clone->frame == frame && clone->locked;
    });
}

NTSTATUS KsStreamQueue::MoveToNextLocked(Pointer* pointer, bool relock) {
    Frame* old = pointer->frame;
    Frame* next = nullptr;
    if (old != nullptr) {
        auto after = std::next(old->position);
        if (after != order_.end()) {
            next = *after;
        }
    }
    // The relock fails past the last frame (there is none to lock) and on a
    // cancelled frame, which cannot be locked: the pointer is then unlocked
    // on the new spot, or back where it was (variant failed-relock).
    const bool relockFails = relock && old != nullptr && (next == nullptr || next->cancelled);
    if (relockFails && Variants::Is(Variant::FailedRelock, "left-where-it-was")) {
        pointer->locked = false;
        ++generation_;
        ReleaseFrameLocked(old, STATUS_SUCCESS);
        return STATUS_DEVICE_NOT_READY;
    }
    // The pin's descriptor (its own copy once the driver edited it) says
    // whether the platform maps, and so sets DataUsed.
    const bool generateMappings = pin_->Descriptor != nullptr &&
                                  (pin_->Descriptor->Flags & KSPIN_FLAG_GENERATE_MAPPINGS) != 0;
    if (old != nullptr && generateMappings &&
        (pointer->edge || Variants::Is(Variant::MappingsDataUsedPointers, "any-pointer"))) {
        // A GENERATE_MAPPINGS pin: the pointer leaving the frame sets its
        // DataUsed to what was used of the frame. One indivisible store: the
        // driver may read the word from a DPC without this queue's lock.
        const bool inOffset = Variants::Is(Variant::MappingsDataUsedOffset, "offset-in");
        const KSSTREAM_POINTER_OFFSET& offset =
            inOffset ? pointer->pub->OffsetIn : pointer->pub->OffsetOut;
        __atomic_store_n(&old->Header()->DataUsed, offset.Count - offset.Remaining,
                         __ATOMIC_RELAXED);
    }
    if (pointer->edge) {
        // The edge never rests on a cancelled frame: AVStream moves it on.
        Frame* spot = next != nullptr && next->cancelled ? NextLiveLocked(next) : next;
        PlaceLocked(pointer, spot);
        pointer->locked = relock && !relockFails && spot != nullptr;
        if (old != nullptr) {
            old->passed = true;
        }
    } else {
        if (next != nullptr) {
            ++next->cloneRefs;
        }
        PlaceLocked(pointer, next);
        pointer->locked = relock && !relockFails && next != nullptr;
        if (old != nullptr) {
            --old->cloneRefs;
        }
    }
    ++generation_;
    if (old != nullptr) {
        ReleaseFrameLocked(old, STATUS_SUCCESS);
    }
    if (!relock) {
        return STATUS_SUCCESS;
    }
    return pointer->locked ? STATUS_SUCCESS : STATUS_DEVICE_NOT_READY;
}

void KsStreamQueue::ReleaseFrameLocked(Frame* frame, NTSTATUS status) {
    if (frame->cancelRequested && !frame->cancelled && !IsLockedLocked(frame)) {
        CancelFrameLocked(frame);
        return;
    }
    MaybeCompleteLocked(frame, status);
}

void KsStreamQueue::CancelFrameLocked(Frame* frame) {
    frame->cancelled = true;
    frame->cancelling = true;
    frame->passed = true;
    if (edge_->frame == frame) {
        PlaceLocked(edge_, NextLiveLocked(frame));
        edge_->locked = false;
    }
    std::vector<PKSSTREAM_POINTER> calls;
    for (Pointer* clone : clones_) {
        if (clone->frame == frame && !clone->locked && clone->cancel != nullptr) {
            calls.push_back(clone->pub);
        }
    }
    for (PKSSTREAM_POINTER pub : calls) {
        auto it = live_.find(pub);
        if (it != live_.end() && it->second->frame == frame) {
            RunCancelLocked(it->second);
        }
    }
    frame->cancelling = false;
    ++generation_;
    MaybeCompleteLocked(frame, STATUS_CANCELLED);
}

void KsStreamQueue::RunCancelLocked(Pointer* clone) {
    const PKSSTREAM_POINTER pub = clone->pub;
    const CancelScope scope{this, pub};
    const CancelScope* outer = tCancel;
    tCancel = &scope;
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    clone->cancel(pub);
    KeLowerIrql(old);
    tCancel = outer;
    if (live_.count(pub) != 0) {
        KsRules::Report(Rule::StreamPointer, "Cancel callback",
                        reinterpret_cast<const void*>(clone->cancel),
                        "the Cancel callback returned without deleting its clone: the IRP of its "
                        "frame never completes");
    }
}

void KsStreamQueue::RunDueCancelsLocked() {
    for (;;) {
        auto due = std::find_if(order_.begin(), order_.end(), [this](const Frame* frame) {
            return frame->cancelRequested && !frame->cancelled && !IsLockedLocked(frame);
        });
        if (due == order_.end()) {
            return;
        }
        CancelFrameLocked(*due);
    }
}

bool KsStreamQueue::RefusedInCancel(const char* routine, const void* caller) {
    if (tCancel == nullptr || tCancel->queue != this) {
        return false;
    }
    KsRules::Report(Rule::StreamPointer, routine, caller, kOnlyDeleteInCancel);
    return true;
}

void KsStreamQueue::MaybeCompleteLocked(Frame* frame, NTSTATUS status) {
    if (!frame->passed || frame->cloneRefs != 0 || edge_->frame == frame || frame->cancelling) {
        return;
    }
    KsCompletedFrame done;
    done.ticket = frame->ticket;
    done.status = frame->cancelled ? STATUS_CANCELLED : status;
    const auto* bytes = reinterpret_cast<const UCHAR*>(frame->headerBlock.get());
    done.header.assign(bytes, bytes + frame->headerSize);
    done.data = frame->data;
    done.bufferSize = frame->bufferSize;
    order_.erase(frame->position);
    delete frame;
    completed_.push_back(std::move(done));
    completedCv_.notify_all();
}

void KsStreamQueue::DeleteCloneLocked(Pointer* clone) {
    clones_.erase(clone->position);
    live_.erase(clone->pub);
    Frame* frame = clone->frame;
    clone->frame = nullptr;
    clone->locked = false;
    if (frame != nullptr) {
        --frame->cloneRefs;
        ReleaseFrameLocked(frame, STATUS_SUCCESS);
    }
    deleted_.insert(clone->pub);
    quarantine_.push_back(clone);
    if (quarantine_.size() > kQuarantine) {
        Pointer* oldest = quarantine_.front();
        quarantine_.pop_front();
        deleted_.erase(oldest->pub);
        UnregisterPointer(oldest->pub, this);
        FreePointer(oldest);
    }
    ++generation_;
}

KsStreamQueue::Pointer* KsStreamQueue::ResolveLocked(PKSSTREAM_POINTER pointer, const char* routine,
                                                     const void* caller) {
    auto it = live_.find(pointer);
    if (it != live_.end()) {
        return it->second;
    }
    KsRules::Report(Rule::StreamPointer, routine, caller,
                    deleted_.count(pointer) != 0
                        ? "the stream pointer was already deleted with KsStreamPointerDelete"
                        : "not a live stream pointer of this pin");
    return nullptr;
}

KsStreamQueue::Access::Access(PKSSTREAM_POINTER driverPointer, const char* routine,
                              const void* caller, const char* notLive)
    : queue(QueueOf(driverPointer)) {
    if (queue == nullptr) {
        KsRules::Report(Rule::StreamPointer, routine, caller, notLive);
        return;
    }
    if (tCancel != nullptr && tCancel->queue == queue.get()) {
        // Inside this queue's Cancel callback, on the thread that holds its
        // lock: only the clone's own delete may be made.
        if (std::strcmp(routine, "KsStreamPointerDelete") != 0 || driverPointer != tCancel->clone) {
            KsRules::Report(Rule::StreamPointer, routine, caller, kOnlyDeleteInCancel);
            return;
        }
        pointer = queue->ResolveLocked(driverPointer, routine, caller);
        return;
    }
    lock = std::unique_lock<std::mutex>(queue->mutex_);
    pointer = queue->ResolveLocked(driverPointer, routine, caller);
}

// ---------------------------------------------------------- stream pointers

PKSSTREAM_POINTER KsStreamQueue::LeadingEdge(KSSTREAM_POINTER_STATE state, const void* caller) {
    if (RefusedInCancel("KsPinGetLeadingEdgeStreamPointer", caller)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    if (state != KSSTREAM_POINTER_STATE_LOCKED) {
        // Unlocked, the edge is there even on no frame; its StreamHeader is
        // then NULL (and its offsets empty).
        return edge_->pub;
    }
    if (edge_->frame == nullptr) {
        return nullptr;
    }
    if (edge_->locked) {
        KsRules::Report(Rule::StreamPointer, "KsPinGetLeadingEdgeStreamPointer", caller,
                        "the leading edge was locked again while already locked");
    }
    edge_->locked = true;
    return edge_->pub;
}

PKSSTREAM_POINTER KsStreamQueue::FirstClone() {
    if (RefusedInCancel("KsPinGetFirstCloneStreamPointer", nullptr)) {
        return nullptr;
    }
    std::lock_guard<std::mutex> lock(mutex_);
    return clones_.empty() ? nullptr : clones_.front()->pub;
}

NTSTATUS KsStreamQueue::Clone(PKSSTREAM_POINTER pointer, PFNKSSTREAMPOINTER cancel,
                              ULONG contextSize, PKSSTREAM_POINTER* clone, const void* caller) {
    if (clone != nullptr) {
        *clone = nullptr;
    }
    if (clone == nullptr) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerClone", caller,
                        "no place for the clone was given");
        return STATUS_INVALID_PARAMETER;
    }
    Access access(pointer, "KsStreamPointerClone", caller);
    Pointer* source = access.pointer;
    if (source == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KsStreamQueue* queue = access.queue.get();
    if (source->frame == nullptr) {
        return STATUS_DEVICE_NOT_READY;
    }
    if (KsFaults::ShouldFailClone()) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    Pointer* made = queue->NewPointer(false, contextSize);
    made->frame = source->frame;
    made->locked = source->locked;
    made->cancel = cancel;
    made->pub->StreamHeader = source->pub->StreamHeader;
    made->pub->OffsetIn = source->pub->OffsetIn;
    made->pub->OffsetOut = source->pub->OffsetOut;
    ++made->frame->cloneRefs;
    made->position = queue->clones_.insert(queue->clones_.end(), made);
    queue->live_[made->pub] = made;
    RegisterPointer(made->pub, access.queue);
    ++queue->generation_;
    *clone = made->pub;
    return STATUS_SUCCESS;
}

NTSTATUS KsStreamQueue::Advance(PKSSTREAM_POINTER pointer, const void* caller) {
    Access access(pointer, "KsStreamPointerAdvance", caller);
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KsStreamQueue* queue = access.queue.get();
    if (!p->locked) {
        // Moved without a relock: nothing can fail.
        if (p->frame != nullptr) {
            queue->MoveToNextLocked(p, false);
        }
        return STATUS_SUCCESS;
    }
    if (p->frame == nullptr) {
        p->locked = false;
        return STATUS_DEVICE_NOT_READY;
    }
    return queue->MoveToNextLocked(p, true);
}

NTSTATUS KsStreamQueue::Lock(PKSSTREAM_POINTER pointer, const void* caller) {
    Access access(pointer, "KsStreamPointerLock", caller);
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    if (p->locked) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerLock", caller,
                        "the stream pointer was locked while already locked");
        return STATUS_SUCCESS;
    }
    // The frame is gone (advanced past the last one) or cancelled.
    if (p->frame == nullptr || p->frame->cancelled) {
        return STATUS_DEVICE_NOT_READY;
    }
    p->locked = true;
    ++access.queue->generation_;
    return STATUS_SUCCESS;
}

NTSTATUS KsStreamQueue::AdvanceOffsets(PKSSTREAM_POINTER pointer, ULONG inUsed, ULONG outUsed,
                                       BOOLEAN eject, const void* caller) {
    Access access(pointer, "KsStreamPointerAdvanceOffsets", caller);
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return STATUS_INVALID_PARAMETER;
    }
    KsStreamQueue* queue = access.queue.get();
    if (p->frame == nullptr) {
        p->locked = false;
        return STATUS_DEVICE_NOT_READY;
    }
    if (!p->locked) {
        // The pointer must be locked (ks/ns-ks-_ksstream_pointer_offset).
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerAdvanceOffsets", caller,
                        "the offsets of an unlocked stream pointer were advanced");
        return STATUS_DEVICE_NOT_READY;
    }
    const bool output = queue->flow_ == KSPIN_DATAFLOW_OUT;
    KSSTREAM_POINTER_OFFSET& out = p->pub->OffsetOut;
    KSSTREAM_POINTER_OFFSET& in = p->pub->OffsetIn;
    if ((output && outUsed > out.Remaining) || (!output && inUsed > in.Remaining)) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerAdvanceOffsets", caller,
                        "advanced past the end of the frame (" +
                            std::to_string(output ? outUsed : inUsed) + " bytes used, " +
                            std::to_string(output ? out.Remaining : in.Remaining) + " remaining)");
    }
    ULONG outStep = std::min(outUsed, out.Remaining);
    ULONG inStep = std::min(inUsed, in.Remaining);
    out.Remaining -= outStep;
    in.Remaining -= inStep;
    if (out.Data != nullptr) {
        out.Data += outStep;
    }
    if (in.Data != nullptr) {
        in.Data += inStep;
    }
    ++queue->generation_;
    ULONG remaining = output ? out.Remaining : in.Remaining;
    if (remaining == 0 || eject) {
        return queue->MoveToNextLocked(p, true);
    }
    return STATUS_SUCCESS;
}

void KsStreamQueue::Unlock(PKSSTREAM_POINTER pointer, BOOLEAN eject, const void* caller) {
    Access access(pointer, "KsStreamPointerUnlock", caller);
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return;
    }
    KsStreamQueue* queue = access.queue.get();
    if (!p->locked) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerUnlock", caller,
                        "the stream pointer was unlocked while not locked");
        return;
    }
    p->locked = false;
    if (p->frame != nullptr) {
        if (eject) {
            queue->MoveToNextLocked(p, false);
        } else {
            queue->ReleaseFrameLocked(p->frame, STATUS_SUCCESS);
        }
    }
    ++queue->generation_;
}

PKSSTREAM_POINTER KsStreamQueue::NextClone(PKSSTREAM_POINTER pointer, const void* caller) {
    Access access(pointer, "KsStreamPointerGetNextClone", caller);
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return nullptr;
    }
    KsStreamQueue* queue = access.queue.get();
    if (p->edge) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerGetNextClone", caller,
                        "called with the leading edge, which is no clone");
        return nullptr;
    }
    auto next = std::next(p->position);
    return next != queue->clones_.end() ? (*next)->pub : nullptr;
}

void KsStreamQueue::Delete(PKSSTREAM_POINTER pointer, const void* caller) {
    Access access(pointer, "KsStreamPointerDelete", caller,
                  "not a live stream pointer (deleted twice, or never a clone)");
    Pointer* p = access.pointer;
    if (p == nullptr) {
        return;
    }
    KsStreamQueue* queue = access.queue.get();
    if (p->edge) {
        KsRules::Report(Rule::StreamPointer, "KsStreamPointerDelete", caller,
                        "the leading edge was passed in; only clones can be deleted");
        return;
    }
    queue->DeleteCloneLocked(p);
}

}  // namespace host::ks
