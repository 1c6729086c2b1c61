// A pin's queue of frames and its stream pointers, as the class library keeps
// them:
//  - frames arrive from the client in order, each with the stream header the
//    client wrote (Size, FrameExtent = the buffer size, Data = the client's
//    buffer, which may be null, and whatever the client left in every other
//    field: the platform passes the header through as it came);
//  - the leading edge exists for the life of the queue; when a frame arrives
//    and the edge points at no frame, it is pointed at that frame (unlocked);
//  - clones start on their parent's frame with its offsets and lock state and
//    hold a reference to the frame; ContextSize bytes follow the returned
//    KSSTREAM_POINTER and Context points at them (the edge's Context is NULL);
//  - the pointer's Offset is OffsetOut on an output pin (Count = FrameExtent,
//    or 0 when Data is null) and OffsetIn on an input pin (Count = DataUsed);
//  - advancing a locked pointer moves it to the next queued frame and
//    relocks; where the relock fails (past the last frame, or on a
//    cancelled one) it returns STATUS_DEVICE_NOT_READY and leaves the
//    pointer unlocked on the new spot, or back where it was with its offsets
//    (variant failed-relock); an offset advance never moves past the start
//    of the next frame. An unlocked pointer is moved without a relock and
//    always gets STATUS_SUCCESS;
//  - the leading edge got UNLOCKED is returned even when it is on no frame
//    (its StreamHeader is then NULL); got LOCKED, it is NULL then;
//  - DataUsed is the minidriver's to write (ks/ns-ks-ksstream_header): the
//    platform never touches it, except on a KSPIN_FLAG_GENERATE_MAPPINGS pin,
//    where a pointer leaving a frame sets it to Count - Remaining of its
//    offset (which offset, and which pointers, are variants; Count is in
//    bytes: the host builds no scatter/gather mappings, so the
//    mappings-dataused-unit variant is not modelled);
//  - a frame goes back to the client once the edge has left it and no clone
//    holds it, with its header exactly as the driver left it, in the order
//    frames become free. At KSSTATE_STOP the frames at and ahead of the edge
//    are flushed back with STATUS_CANCELLED (those clones hold stay with them).
//
// A clone that advances past the last frame holds no frame until deleted.
//
// A read the client cancels (CancelRead: its CancelIo, or its thread
// ending) is cancelled at once unless a stream pointer (the edge or any
// clone) has its frame locked: locked frames cannot be cancelled, and the
// model reads that as "the cancellation waits until the last lock on the
// frame goes", then runs it. Cancelling a frame:
//  - moves the leading edge, if it is on the frame, to the next frame that
//    is not cancelled (AVStream moves the edge only then), unlocked;
//  - calls the Cancel callback of every unlocked clone on the frame, at
//    DISPATCH_LEVEL under the queue's lock (the spin lock of the real
//    library); there the only queue call allowed is KsStreamPointerDelete of
//    that clone (anything else is reported and refused), and a callback
//    that leaves its clone alive is reported: the IRP would never complete;
//  - leaves clones without a callback on the frame until they are deleted;
//  - completes the read with STATUS_CANCELLED when its last reference goes.
// A cancelled frame cannot be locked again: KsStreamPointerLock on it, or a
// locked pointer advanced onto it, fails with STATUS_DEVICE_NOT_READY. The
// failed-relock variant says where an advanced pointer then is: unlocked on
// the cancelled frame (the edge never rests there: it moves on to the next
// live frame), or unlocked where it was, offsets unchanged.
//
// Locking: mutex_ guards everything below; it is internal to the library
// and may be taken at any IRQL the stream pointer calls allow (they run on
// the client's thread, the processing thread and the DPC thread at once).
// The only driver code run while it is held is a Cancel callback, whose one
// allowed call (deleting its clone) finds the lock already held by its
// thread and does not take it again; any other call is refused, so the lock
// is a leaf for everything else. Deleted clones stay
// allocated in a bounded quarantine so that a second delete is recognised
// rather than followed into freed memory.
#pragma once

#include <host/ks.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <list>
#include <memory>
#include <mutex>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace host::ks {

// A frame given back to the client.
struct KsCompletedFrame {
    uint64_t ticket = 0;               // as returned by Submit
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_CANCELLED when flushed at stop or cancelled
    std::vector<UCHAR> header;         // the stream header's Size bytes, as the driver left them
    void* data = nullptr;              // the client's buffer
    ULONG bufferSize = 0;              // its size as submitted
};

class KsStreamQueue : public std::enable_shared_from_this<KsStreamQueue> {
  public:
    KsStreamQueue(PKSPIN pin, KSPIN_DATAFLOW flow);
    ~KsStreamQueue();
    KsStreamQueue(const KsStreamQueue&) = delete;
    KsStreamQueue& operator=(const KsStreamQueue&) = delete;
    // Registers the leading edge; call once, after construction by make_shared.
    void Initialize();

    // ---- client side (PASSIVE_LEVEL) ----
    // Queues a frame whose stream header is the `headerSize` bytes at
    // `header` (copied; its Data and FrameExtent name the buffer);
    // *arrivedAtEmptyEdge tells whether the leading edge was pointed at it.
    void Submit(const void* header, ULONG headerSize, uint64_t* ticket, bool* arrivedAtEmptyEdge);
    // Cancels the read `ticket` (see the file comment): STATUS_SUCCESS while
    // it is still pending (it comes back later, or is already back when its
    // frame was not locked), STATUS_NOT_FOUND when no such read is pending.
    NTSTATUS CancelRead(uint64_t ticket);
    bool TakeCompleted(KsCompletedFrame* frame);
    size_t CompletedCount();
    // Real clock: waits until a completed frame is there or `deadline`.
    bool WaitCompleted(std::chrono::steady_clock::time_point deadline);

    // ---- the pin (PASSIVE_LEVEL, control paths) ----
    bool FrameAtEdge();
    // The leading edge's frame (its ticket) and out/in offset used, packed:
    // changes exactly when the edge moves.
    uint64_t EdgePosition();
    // Changes whenever a stream pointer call changes the queue.
    uint64_t Generation() const { return generation_.load(); }
    // Reports (Rule::StreamPointer) and unlocks pointers still locked as the
    // pin reaches KSSTATE_STOP.
    void CheckUnlockedAtStop();
    // KSSTATE_STOP: frames at and ahead of the leading edge go back cancelled
    // (leading-edge-at-stop reset); under kept the edge stays, unlocked, on
    // its frame and only the frames behind it go back.
    void Flush();
    // KSSTATE_STOP, before Flush, by the stop-frames variant: clones live on
    // until deleted (complete-unreferenced); unlocked clones get their Cancel
    // callback, at DISPATCH_LEVEL (cancel-clones); or the stop waits for the
    // clones, which the host reports when any are left (wait-for-clones).
    void StopClones();
    // Pin close: reports (Rule::StreamPointer) clones still outstanding,
    // deletes them and flushes what is left.
    void ReleaseAtClose();
    size_t CloneCount();
    size_t QueuedFrames();

    // ---- the stream pointer calls (IRQL <= DISPATCH_LEVEL) ----
    PKSSTREAM_POINTER LeadingEdge(KSSTREAM_POINTER_STATE state, const void* caller);
    PKSSTREAM_POINTER FirstClone();
    static NTSTATUS Clone(PKSSTREAM_POINTER pointer, PFNKSSTREAMPOINTER cancel, ULONG contextSize,
                          PKSSTREAM_POINTER* clone, const void* caller);
    static NTSTATUS Lock(PKSSTREAM_POINTER pointer, const void* caller);
    static NTSTATUS Advance(PKSSTREAM_POINTER pointer, const void* caller);
    static NTSTATUS AdvanceOffsets(PKSSTREAM_POINTER pointer, ULONG inUsed, ULONG outUsed,
                                   BOOLEAN eject, const void* caller);
    static void Unlock(PKSSTREAM_POINTER pointer, BOOLEAN eject, const void* caller);
    static PKSSTREAM_POINTER NextClone(PKSSTREAM_POINTER pointer, const void* caller);
    static void Delete(PKSSTREAM_POINTER pointer, const void* caller);

  private:
    struct Frame {
        uint64_t ticket;
        std::unique_ptr<uint64_t[]> headerBlock;  // the header, 8-byte aligned
        ULONG headerSize;
        void* data;  // the client's buffer
        ULONG bufferSize;
        int cloneRefs;                         // clones on this frame
        bool passed;                           // the leading edge has left it
        bool cancelRequested;                  // the client cancelled its read
        bool cancelled;                        // its cancellation ran: never locked again
        bool cancelling;                       // Cancel callbacks running: not completed yet
        std::list<Frame*>::iterator position;  // in order_
        PKSSTREAM_HEADER Header() { return reinterpret_cast<PKSSTREAM_HEADER>(headerBlock.get()); }
    };
    struct Pointer {
        bool edge;  // the leading edge (else a clone)
        bool locked;
        Frame* frame;                            // nullptr: on no frame
        PFNKSSTREAMPOINTER cancel;               // called when its frame is cancelled, if unlocked
        std::list<Pointer*>::iterator position;  // in clones_ (clones only)
        PKSSTREAM_POINTER pub;                   // the driver's view, in the same block
    };

    static std::shared_ptr<KsStreamQueue> QueueOf(PKSSTREAM_POINTER pointer);
    static void RegisterPointer(PKSSTREAM_POINTER pointer, std::weak_ptr<KsStreamQueue> queue);
    static void UnregisterPointer(PKSSTREAM_POINTER pointer, const KsStreamQueue* queue);

    Pointer* NewPointer(bool edge, ULONG contextSize);
    void FreePointer(Pointer* pointer);
    // With mutex_ held: the live pointer behind `pointer`, or nullptr after a
    // report naming `routine`.
    Pointer* ResolveLocked(PKSSTREAM_POINTER pointer, const char* routine, const void* caller);
    // A driver's stream pointer opened for one KS call: its queue, whose
    // mutex_ is held while this lives, and the live pointer behind it; that
    // is null after a report naming `routine` (`notLive` when the pointer
    // belongs to no queue at all).
    struct Access {
        Access(PKSSTREAM_POINTER driverPointer, const char* routine, const void* caller,
               const char* notLive = "not a live stream pointer");
        std::shared_ptr<KsStreamQueue> queue;
        std::unique_lock<std::mutex> lock;
        Pointer* pointer = nullptr;
    };
    void PlaceLocked(Pointer* pointer, Frame* frame);
    // Moves `pointer` to the frame after its own; `relock` for a locked
    // pointer (which is relocked there, or fails to be).
    NTSTATUS MoveToNextLocked(Pointer* pointer, bool relock);
    // The first frame after `frame` (from the front when null) that is not
    // cancelled, or nullptr.
    Frame* NextLiveLocked(Frame* frame);
    bool IsLockedLocked(const Frame* frame) const;
    // A pointer let go of `frame` (moved off it, unlocked it, was deleted):
    // runs a cancellation that waited for the frame's last lock, else
    // completes the frame if nothing holds it any more.
    void ReleaseFrameLocked(Frame* frame, NTSTATUS status);
    void CancelFrameLocked(Frame* frame);
    // Calls `clone`'s Cancel callback at DISPATCH_LEVEL with mutex_ held.
    void RunCancelLocked(Pointer* clone);
    // Runs every cancellation whose frame is no longer locked.
    void RunDueCancelsLocked();
    // Inside this queue's Cancel callback on this thread: reports `routine`
    // (a queue call made there) and returns true.
    bool RefusedInCancel(const char* routine, const void* caller);
    void MaybeCompleteLocked(Frame* frame, NTSTATUS status);
    void FlushFrom(bool keepEdge);
    void DeleteCloneLocked(Pointer* clone);

    PKSPIN pin_;                           // the pin the queue belongs to
    KSPIN_DATAFLOW flow_;                  // output pins move OffsetOut, input pins OffsetIn
    std::mutex mutex_;                     // see the file comment
    std::condition_variable completedCv_;  // a frame was completed; with mutex_
    std::list<Frame*> order_;              // frames not yet completed, in arrival order
    Pointer* edge_;                        // the leading edge
    std::list<Pointer*> clones_;           // live clones in creation order
    std::unordered_map<const KSSTREAM_POINTER*, Pointer*> live_;  // edge and live clones
    std::unordered_set<const KSSTREAM_POINTER*> deleted_;         // quarantined clones
    std::deque<Pointer*> quarantine_;                             // oldest first
    std::deque<KsCompletedFrame> completed_;  // back to the client, oldest first
    uint64_t nextTicket_;
    std::atomic<uint64_t> generation_;  // bumped by every change; read without the lock
};

}  // namespace host::ks
