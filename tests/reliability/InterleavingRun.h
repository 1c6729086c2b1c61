// One seeded interleaving run: the whole camera loaded into the host kernel
// on the virtual clock and driven only through the client calls, one
// scheduler action per step, with a model of what the camera must do beside
// it. After every step it checks:
//  - every submitted capture buffer comes back exactly once (tickets), and
//    all of them are back whenever the pin is closed, and in STOP too but
//    for the frame a kept leading edge holds (leading-edge-at-stop=kept),
//    which comes back at the next run or the close; a buffer that comes back
//    unfilled was not written into;
//  - every buffer that comes back filled holds one whole image - the image
//    of the last push the engine took, or black after a start (or the image
//    of a frame source's push suspended in the middle, which may publish
//    before it is suspended or when it resumes; a push that waited for the
//    write gate the suspended one holds was dropped) - with nothing
//    written past the rows that fit, and is stamped with the frame period,
//    a presentation time on the engine's schedule that never goes backwards,
//    and a PictureNumber counting up from 1 after each move to ACQUIRE or
//    PAUSE;
//  - a running pin with a whole image's worth of buffers queued delivers at
//    least one of them in every frame period that passes (once two periods
//    have gone by since a starved resource last struck);
//  - a starved resource (see ActionKind::Starve) makes the call that meets it
//    answer STATUS_INSUFFICIENT_RESOURCES or absorb the failure - nothing
//    else - and the camera carries on;
//  - the pin is in the state the client walked it to, and the verifier has
//    recorded no violation.
// It ends by streaming one last pushed frame, closing everything, removing the
// device and checking that no pool block, timer or lookaside list is left.
//
// The run is a pure function of the seed: it boots the virtual clock itself,
// draws the platform variants it runs under from the seed (unless
// VCAM_VARIANTS selects them), decides from the seed when a re-armed tick's
// DPC runs beside its previous run, runs a suspended frame source's thread
// only while its own waits for it, and reads no wall clock nor iterates an
// unordered container.
// Not thread-safe (the host kernel and the verifier are process-wide).
#pragma once

#include <host/ks.h>

#include "host/client/CompletedFrame.h"
#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"
#include "reliability/InterleavingScheduler.h"
#include "support/CameraImages.h"

#include <atomic>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace reliability {

class InterleavingRun {
  public:
    // `trace`: print every step and what came back to stdout.
    InterleavingRun(uint64_t seed, int steps, bool trace);
    ~InterleavingRun();
    InterleavingRun(const InterleavingRun&) = delete;
    InterleavingRun& operator=(const InterleavingRun&) = delete;

    // Runs the seed's steps and the closing checks. Empty when every check
    // held; else "step N (what it did): what broke", followed by the steps
    // that led there. Step 0 is the set-up, steps past the count the wrap-up.
    std::string Run();
    // Steps performed (scheduled and closing ones).
    int StepsRun() const { return step_; }
    // Any thread: system time at the start of the current step (for a
    // watchdog: no step lets much time pass, so one that runs the virtual
    // clock on and on is a call that never returns).
    int64_t StepStartTime() const { return stepStart_.load(); }
    // Step at which the run failed (valid when Run returned a failure).
    int FailedStep() const { return failedStep_; }
    // A digest of every step's outcome (what was done, what came back, the
    // pin's state, the time): equal for two runs of one seed.
    uint64_t Digest() const { return digest_; }
    // Capture buffers that came back filled, in the whole run.
    uint64_t Delivered() const { return delivered_; }
    // Starved resources that struck, in the whole run.
    uint64_t Strikes() const { return strikes_; }
    // Frame source pushes suspended in the middle, in the whole run.
    uint64_t SuspendedPushes() const { return suspendedPushes_; }
    // Re-armed ticks whose DPC ran beside its previous run (the seed chose
    // so), in the whole run.
    uint64_t DpcOverlaps() const { return overlaps_; }
    // The platform variants the run drew from its seed ("defaults" if none),
    // or the VCAM_VARIANTS selection.
    const std::string& VariantsRun() const { return variants_; }

  private:
    // What the engine was last brought to, as the model sees it.
    enum class Engine { Stopped, Paused, Running };

    // A frame source's push on a thread of its own, suspended in the middle.
    struct SuspendedSource {
        std::unique_ptr<host::FilterHandle> filter;  // the source's own handle
        std::vector<uint8_t> frame;
        camtest::Yuy2Colour colour = camtest::kBlack;  // what its push makes of the frame
        int slack = 0;
        int resumeAt = 0;  // the step at which it resumes (INT_MAX: the wrap-up)
        std::atomic<bool> armed{false};
        std::atomic<bool> done{false};
        NTSTATUS status = STATUS_UNSUCCESSFUL;  // the push's answer, once done
        std::thread thread;
    };

    // A capture buffer out with the driver.
    struct Outstanding {
        std::vector<uint8_t> memory;  // the client's buffer (unused when noData)
        ULONG size = 0;
        ULONG headerSize = 0;
        bool noData = false;
    };

    bool Perform(const Action& action);
    bool Execute(const Action& action);
    bool DoPush(const Action& action);
    bool DoSubmit(const Action& action);
    bool DoSetState(KSSTATE target);
    bool DoChangeFormat();
    bool DoClosePin();
    bool DoCreatePin();
    bool DoOpenFilter();
    bool DoCloseFilter();
    bool DoRivalClaim();
    bool DoRestartDevice();
    void DoStarve(const Action& action);
    bool DoSuspendedPush(const Action& action);
    // Resumes the suspended push, waits for it to return and closes the
    // source's filter.
    bool ResumeSource();
    // The image a tick now fills from: the model's, or one of the others a
    // suspended push leaves open.
    std::string CheckImage(const uint8_t* data, ULONG size) const;
    // True once the starved resource has been asked for (the fault struck):
    // it is then disarmed and the strike noted for the current step.
    bool Struck();
    // Undoes a starvation that has not struck.
    void Disarm();
    // A call answered `status`: fine if it is `expected`, or if it is
    // STATUS_INSUFFICIENT_RESOURCES and the starved resource struck in it.
    bool Answered(NTSTATUS status, NTSTATUS expected, const char* what);
    bool SetUp();
    bool WrapUp();

    // Takes every buffer back from `pin`'s client queue and checks it
    // against the model as it stood during the step.
    bool Drain(host::PinHandle* pin);
    bool CheckReturned(const host::CompletedFrame& frame);
    // The model's side of a successful walk from `from` to `to`.
    void ApplyWalk(KSSTATE from, KSSTATE to, int64_t walkStart);
    // Bytes of buffers out with data to fill (what the engine's queue holds
    // while the pin runs).
    uint64_t OutstandingDataBytes() const;
    CameraView View() const;
    bool Fail(const std::string& text);

    uint64_t seed_;
    int steps_;
    bool trace_;
    int step_ = 0;
    std::atomic<int64_t> stepStart_{INT64_MAX};  // see StepStartTime
    int failedStep_ = 0;
    std::string failure_;
    std::string variants_;             // the platform variants the seed drew
    bool timed_ = false;               // the pin had a master clock when it last went to RUN
    std::string doing_;                // the current step's description
    std::deque<std::string> history_;  // the last steps, oldest first

    std::unique_ptr<host::Driver> driver_;
    std::unique_ptr<host::Device> device_;
    std::unique_ptr<host::FilterHandle> filter_;
    std::unique_ptr<host::PinHandle> pin_;
    std::vector<uint8_t> format_;                    // the negotiated connection format
    uint64_t poolMark_ = 0;                          // pool serial at the start of the run
    std::vector<uint8_t> pushFrame_;                 // reused for every push
    std::vector<std::vector<uint8_t>> spareMemory_;  // capture buffers to reuse

    // ---- the model ----
    std::map<uint64_t, Outstanding> outstanding_;  // by ticket
    KSSTATE pinState_ = KSSTATE_STOP;              // where the client walked the pin
    Engine engine_ = Engine::Stopped;
    int64_t scheduleOrigin_ = 0;                   // system time of the engine's start
    camtest::Yuy2Colour image_ = camtest::kBlack;  // what the next tick delivers
    int imageSlack_ = 0;                           // 1 for images made from RGB24
    // Images a tick may fill from instead, (colour, slack): a suspended push
    // may publish before it is suspended or after it resumes, and which one
    // is current stays open until a push or a start settles it.
    std::vector<std::pair<camtest::Yuy2Colour, int>> alsoImages_;
    std::unique_ptr<SuspendedSource> source_;  // null when no push is suspended
    uint64_t suspendedPushes_ = 0;             // pushes suspended in the run
    LONGLONG pictureNumber_ = 0;               // frames delivered since ACQUIRE/PAUSE
    int64_t lastPresentation_ = 0;             // of the last frame delivered
    // ---- starvation ----
    enum class Starving { None, Pool, Bag, Clone };
    Starving starving_ = Starving::None;
    uint64_t starvedAt_ = 0;              // the count at which the bag or clone fault strikes
    uint64_t injectedSeen_ = 0;           // pool faults that struck so far
    bool struckThisStep_ = false;         // a starved resource struck in the current step
    int64_t lastStrike_ = INT64_MIN / 2;  // system time after the step of the last strike
    uint64_t strikes_ = 0;                // starved resources that struck in the run

    int returnedThisStep_ = 0;                 // buffers back in the current step
    int deliveredThisStep_ = 0;                // of those, filled
    uint64_t delivered_ = 0;                   // filled buffers back in the whole run
    uint64_t lastWholeTicket_ = 0;             // the last whole-image buffer submitted
    bool lastWholeDelivered_ = false;          // it came back filled
    uint64_t digest_ = 0xCBF29CE484222325ull;  // FNV-1a offset basis
    // ---- DPC overlap (HostKernel::SetDpcOverlapChooser) ----
    std::mt19937_64 overlapPick_;  // the seed's draws of whether a re-armed DPC overlaps
    int overlapRate_ = 0;          // of each four asks, how many overlap (drawn per seed)
    uint64_t overlapAsked_ = 0;    // times the chooser was asked
    uint64_t overlaps_ = 0;        // times it said yes
};

}  // namespace reliability
