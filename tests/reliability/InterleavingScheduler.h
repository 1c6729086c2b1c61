// The seeded scheduler of the interleaving runs: from one 64-bit seed it
// draws, step by step, what the camera's clients and the clock do next -
// pushes (uniform I420 and RGB24 frames with a colour of their own, and
// pushes of wrong lengths), capture buffer submissions (a submission is what
// makes the class library call the pin's Process), time advancing in small
// steps or to the next due timer, stream state changes, format changes, pin
// closes and re-creations, filter closes and re-opens, a second client trying to claim
// the engine, device restarts, now and then a resource that runs out at its
// next use (whichever call that is), and a frame source whose pushing thread
// is suspended in the middle of its push while all of that goes on.
//
// What it draws depends only on the seed and on the view of the camera it is
// shown (which objects are open, the pin's state, buffers outstanding), so a
// run that shows it the same views replays exactly. It draws through its own
// modulo helper rather than the standard distributions, whose algorithms
// differ between standard libraries. Not thread-safe.
#pragma once

#include <host/ks.h>

#include <cstdint>
#include <random>
#include <string>

namespace reliability {

// What the scheduler is told about the camera before each draw.
struct CameraView {
    bool filterOpen = false;
    bool pinOpen = false;
    KSSTATE pinState = KSSTATE_STOP;
    size_t outstanding = 0;      // capture buffers submitted and not yet back
    bool starving = false;       // a starved resource has not been asked for yet
    bool pushSuspended = false;  // a frame source's push is suspended on its thread
};

enum class ActionKind {
    PushI420,          // a whole uniform I420 frame of colour (a, b, c) = (Y, U, V)
    PushRgb24,         // a whole uniform RGB24 frame of colour (a, b, c) = (B, G, R)
    PushWrongLength,   // `length` bytes (0 included), colour (a, b, c)
    Submit,            // a capture buffer of `length` bytes, `headerSize`, maybe no data
    AdvanceBy,         // system time moves by `delta`
    AdvanceToNextDue,  // system time moves to the next armed timer
    SetState,          // the client walks the pin to `target`
    ChangeFormat,      // the client proposes the same format again
    ClosePin,
    CreatePin,
    CloseFilter,
    OpenFilter,
    RivalClaim,     // a second filter and pin try STOP -> ACQUIRE, then go away
    RestartDevice,  // Plug and Play stops and starts the device (no filter open)
    Starve,         // the next allocation of resource `a` fails, wherever it is
    // A frame source pushes a whole frame (I420 for `length` kI420Size, else
    // RGB24; colour (a, b, c)) through a filter of its own, on a thread of
    // its own that is suspended at its `point`-th suspension point for
    // `holdSteps` steps (0: until the wrap-up), if the push has that many.
    SuspendedPush,
};

// The resources a Starve action can make fail (Action::a).
enum StarvedResource : uint8_t {
    kStarvePool = 0,   // the next pool or lookaside allocation
    kStarveBag = 1,    // the next bag insertion of the class library
    kStarveClone = 2,  // the next stream pointer clone
};

struct Action {
    ActionKind kind = ActionKind::AdvanceBy;
    uint8_t a = 0;  // colour, see ActionKind
    uint8_t b = 0;
    uint8_t c = 0;
    ULONG length = 0;               // push or buffer length in bytes
    bool noData = false;            // Submit: a header with no data buffer
    ULONG headerSize = 0;           // Submit: stream header bytes
    int64_t delta = 0;              // AdvanceBy: 100 ns units
    KSSTATE target = KSSTATE_STOP;  // SetState
    int point = 0;                  // SuspendedPush: the suspension point, from 1
    int holdSteps = 0;              // SuspendedPush: steps suspended, 0 to the wrap-up
};

// One line saying what the action does, for traces and failure reports.
std::string Describe(const Action& action);

class InterleavingScheduler {
  public:
    explicit InterleavingScheduler(uint64_t seed);

    // The next action; only actions that make sense for `view` are drawn
    // (no submission without a pin, no re-open of an open filter, at most
    // kMaxOutstanding buffers out at once).
    Action Next(const CameraView& view);

    static const size_t kMaxOutstanding = 8;

  private:
    // A number in [0, n), n > 0.
    uint64_t Below(uint64_t n);
    Action Push(ActionKind kind);
    Action Submission(bool wholeImage);
    Action Advance();

    std::mt19937_64 random_;  // the run's only source of choices
};

// The name of a stream state, for failure messages.
const char* StateName(KSSTATE state);

}  // namespace reliability
