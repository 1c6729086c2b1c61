// One whole life of the camera, lived through the client calls only (what
// the I/O manager, Plug and Play, a capture application and a frame source
// do): load, add, start, open the filter, read the signature, intersect,
// create the pin, change its format while stopped, walk it to RUN, stream pushed I420 and RGB24
// frames, pause, resume, stop, close, stop the device, start it again, stream once more, and remove
// it.
//
// A run may starve one resource at one occurrence: the n-th pool or lookaside
// allocation (Verifier::FailNth), the n-th bag insertion or stream pointer
// clone of the class library (KsFaults), or the filter factory of the n-th
// start. Each step knows whether running out of memory inside it is a status
// it documents (and which) or something it absorbs: a step that answers its
// documented failure is checked to have left nothing half made and is then
// retried the way the platform's client would (Plug and Play adds or starts
// again, an application reopens, re-creates, walks the state again). Every
// other outcome - another status, a second refusal, success with state
// missing, a frame that never comes back or comes back wrong - ends the run
// with a failure text.
//
// Runs on the calling thread on the virtual clock; boots it itself. Not
// thread-safe (the host kernel and the verifier are process-wide).
#pragma once

#include <host/ks.h>

#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"

#include "support/CameraImages.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace reliability {

// The resource a run starves.
enum class Starve {
    Nothing,
    PoolAllocation,  // Verifier::FailNth: pool and lookaside allocations
    BagInsertion,    // KsFaults::FailBagInsertion
    Clone,           // KsFaults::FailClone
    FilterFactory,   // KsFaults::FailFilterFactoryCreation, around the device's add
};

const char* StarveName(Starve what);

// What one step used, as [begin, end) of the running counters of each
// resource (first attempt only), and whether a failure inside it is a status.
struct StepUse {
    std::string name;
    bool refusalIsStatus = false;  // the step answers a failure (else it absorbs it)
    uint64_t poolBegin = 0;
    uint64_t poolEnd = 0;
    uint64_t bagBegin = 0;
    uint64_t bagEnd = 0;
    uint64_t cloneBegin = 0;
    uint64_t cloneEnd = 0;
    uint64_t factoryBegin = 0;
    uint64_t factoryEnd = 0;
};

struct ScenarioResult {
    std::string failure;                // empty: the run reached its end clean
    std::vector<StepUse> steps;         // every step, in order
    std::vector<std::string> refusals;  // "step: status" for each refusal that was retried
    uint64_t poolAllocations = 0;       // attempted during the run (failed ones included)
    uint64_t bagInsertions = 0;
    uint64_t clones = 0;
    uint64_t factoryCreations = 0;  // adds that made a filter factory
    uint64_t injected = 0;          // faults that actually struck
};

class LifecycleScenario {
  public:
    // `nth` counts from 1; ignored for Starve::Nothing.
    LifecycleScenario(Starve what, uint64_t nth);
    ~LifecycleScenario();
    LifecycleScenario(const LifecycleScenario&) = delete;
    LifecycleScenario& operator=(const LifecycleScenario&) = delete;

    // Runs the whole life on a freshly booted virtual clock and a reset
    // verifier, then tears down whatever a failure left open. The result's
    // failure also covers verifier violations, pool blocks left after the
    // removal and unload leftovers (timers, DPCs, lookaside lists).
    ScenarioResult Run();

  private:
    enum class OnFailure { MustSucceed, MaySayInsufficient };

    // Runs `action` (and `check` after a success) as one step: measures it,
    // accepts at most one documented refusal, checks it with `checkRefused`,
    // and retries. False ends the run (result_.failure says why).
    bool Step(const std::string& name, OnFailure onFailure, const std::function<NTSTATUS()>& action,
              const std::function<std::string()>& check,
              const std::function<std::string()>& checkRefused);
    bool Lifecycle();
    bool OpenAndNegotiate(const char* suffix);
    bool StartDevice(const char* name);
    // Submits one whole capture buffer and waits, in virtual time, for it to
    // come back filled with `expected` and numbered `pictureNumber`.
    bool Capture(const std::string& name, camtest::Yuy2Colour expected, int slack,
                 LONGLONG pictureNumber);
    // Waits for the submitted `buffer` (`ticket`) and checks what came back;
    // empty when it is right.
    std::string Collect(const std::vector<uint8_t>& buffer, uint64_t ticket,
                        camtest::Yuy2Colour expected, int slack, LONGLONG pictureNumber);
    bool Push(const std::string& name, const std::vector<uint8_t>& frame);
    bool Fail(const std::string& text);
    void TearDown();

    Starve what_;
    uint64_t nth_;
    uint64_t factoryCreations_ = 0;  // device adds so far (each makes a factory)
    int64_t lastPresentation_ = 0;   // presentation time of the last frame delivered
    ScenarioResult result_;
    std::vector<uint8_t> format_;  // the negotiated connection format
    std::unique_ptr<host::Driver> driver_;
    std::unique_ptr<host::Device> device_;
    std::unique_ptr<host::FilterHandle> filter_;
    std::unique_ptr<host::PinHandle> pin_;
};

}  // namespace reliability
