#include "reliability/InterleavingScheduler.h"

#include "support/CameraImages.h"

#include <cstdio>
#include <vector>

namespace reliability {

namespace {

using namespace camtest;

// A weighted choice among the actions that fit the view.
struct Choice {
    ActionKind kind;
    uint64_t weight;
};

}  // namespace

const char* StateName(KSSTATE state) {
    switch (state) {
        case KSSTATE_STOP:
            return "STOP";
        case KSSTATE_ACQUIRE:
            return "ACQUIRE";
        case KSSTATE_PAUSE:
            return "PAUSE";
        case KSSTATE_RUN:
            return "RUN";
    }
    return "?";
}

std::string Describe(const Action& action) {
    char text[160];
    switch (action.kind) {
        case ActionKind::PushI420:
            std::snprintf(text, sizeof text, "push I420 Y %u U %u V %u", action.a, action.b,
                          action.c);
            break;
        case ActionKind::PushRgb24:
            std::snprintf(text, sizeof text, "push RGB24 B %u G %u R %u", action.a, action.b,
                          action.c);
            break;
        case ActionKind::PushWrongLength:
            std::snprintf(text, sizeof text, "push %u bytes (colour %u %u %u)", action.length,
                          action.a, action.b, action.c);
            break;
        case ActionKind::Submit:
            std::snprintf(text, sizeof text, "submit %u bytes%s, header %u", action.length,
                          action.noData ? " without data" : "", action.headerSize);
            break;
        case ActionKind::AdvanceBy:
            std::snprintf(text, sizeof text, "advance %lld", static_cast<long long>(action.delta));
            break;
        case ActionKind::AdvanceToNextDue:
            return "advance to the next due timer";
        case ActionKind::SetState:
            std::snprintf(text, sizeof text, "walk to %s", StateName(action.target));
            break;
        case ActionKind::ChangeFormat:
            return "propose the format again";
        case ActionKind::ClosePin:
            return "close the pin";
        case ActionKind::CreatePin:
            return "create the pin";
        case ActionKind::CloseFilter:
            return "close the filter";
        case ActionKind::OpenFilter:
            return "open the filter";
        case ActionKind::RivalClaim:
            return "a second pin tries to claim the engine";
        case ActionKind::RestartDevice:
            return "stop and start the device";
        case ActionKind::SuspendedPush:
            if (action.holdSteps == 0) {
                std::snprintf(text, sizeof text,
                              "a source pushes %s (%u %u %u), suspended at its point %d until "
                              "the wrap-up",
                              action.length == kI420Size ? "I420" : "RGB24", action.a, action.b,
                              action.c, action.point);
            } else {
                std::snprintf(text, sizeof text,
                              "a source pushes %s (%u %u %u), suspended at its point %d for %d "
                              "steps",
                              action.length == kI420Size ? "I420" : "RGB24", action.a, action.b,
                              action.c, action.point, action.holdSteps);
            }
            break;
        case ActionKind::Starve:
            return action.a == kStarvePool
                       ? "starve the next pool or lookaside allocation"
                       : (action.a == kStarveBag ? "starve the next bag insertion"
                                                 : "starve the next stream pointer clone");
    }
    return text;
}

InterleavingScheduler::InterleavingScheduler(uint64_t seed) : random_(seed) {}

uint64_t InterleavingScheduler::Below(uint64_t n) {
    return random_() % n;
}

Action InterleavingScheduler::Next(const CameraView& view) {
    const bool roomForBuffers = view.outstanding < kMaxOutstanding;
    std::vector<Choice> choices;
    if (view.pinOpen) {
        choices = {
            {ActionKind::PushI420, 10},
            {ActionKind::PushRgb24, 6},
            {ActionKind::PushWrongLength, 4},
            {ActionKind::Submit, roomForBuffers ? 30u : 0u},
            {ActionKind::AdvanceBy, 18},
            {ActionKind::AdvanceToNextDue, 10},
            {ActionKind::SetState, 9},
            {ActionKind::ChangeFormat, 2},
            {ActionKind::ClosePin, 2},
            {ActionKind::CloseFilter, 1},
            {ActionKind::RivalClaim, 2},
            {ActionKind::Starve, view.starving ? 0u : 3u},
            {ActionKind::SuspendedPush, view.pushSuspended ? 0u : 2u},
        };
    } else if (view.filterOpen) {
        choices = {
            {ActionKind::CreatePin, 12},
            {ActionKind::PushI420, 2},
            {ActionKind::PushWrongLength, 1},
            {ActionKind::AdvanceBy, 3},
            {ActionKind::CloseFilter, 1},
            {ActionKind::RivalClaim, 1},
            {ActionKind::Starve, view.starving ? 0u : 1u},
            {ActionKind::SuspendedPush, view.pushSuspended ? 0u : 1u},
        };
    } else {
        choices = {
            {ActionKind::OpenFilter, 8},
            // A source's filter is open while its push is suspended.
            {ActionKind::RestartDevice, view.pushSuspended ? 0u : 2u},
            {ActionKind::AdvanceBy, 2},
            {ActionKind::RivalClaim, 1},
            {ActionKind::Starve, view.starving ? 0u : 1u},
            {ActionKind::SuspendedPush, view.pushSuspended ? 0u : 1u},
        };
    }
    uint64_t total = 0;
    for (const Choice& choice : choices) {
        total += choice.weight;
    }
    uint64_t pick = Below(total);
    ActionKind kind = choices.front().kind;
    for (const Choice& choice : choices) {
        if (pick < choice.weight) {
            kind = choice.kind;
            break;
        }
        pick -= choice.weight;
    }

    switch (kind) {
        case ActionKind::PushI420:
        case ActionKind::PushRgb24:
        case ActionKind::PushWrongLength:
            return Push(kind);
        case ActionKind::Submit:
            // Most submissions are whole images (what a capture application
            // queues); the rest are of any size, empty or without data.
            return Submission(Below(3) != 0);
        case ActionKind::AdvanceBy:
            return Advance();
        case ActionKind::Starve: {
            Action action;
            action.kind = kind;
            const uint64_t which = Below(10);
            action.a = which < 6 ? kStarvePool : (which < 8 ? kStarveBag : kStarveClone);
            return action;
        }
        case ActionKind::SuspendedPush: {
            Action action = Push(Below(2) == 0 ? ActionKind::PushI420 : ActionKind::PushRgb24);
            action.kind = kind;
            // A push has a handful of suspension points; a later one is not
            // reached, and the push then just runs.
            action.point = static_cast<int>(1 + Below(5));
            action.holdSteps = Below(4) == 0 ? 0 : static_cast<int>(1 + Below(40));
            return action;
        }
        case ActionKind::SetState: {
            Action action;
            action.kind = kind;
            // Any state but the current one; RUN more often than the others,
            // so that runs spend most of their time streaming.
            if (view.pinState != KSSTATE_RUN && Below(2) == 0) {
                action.target = KSSTATE_RUN;
                return action;
            }
            const uint64_t other = Below(3);
            action.target = static_cast<KSSTATE>(
                other >= static_cast<uint64_t>(view.pinState) ? other + 1 : other);
            return action;
        }
        default: {
            Action action;
            action.kind = kind;
            return action;
        }
    }
}

Action InterleavingScheduler::Push(ActionKind kind) {
    Action action;
    action.kind = kind;
    action.a = static_cast<uint8_t>(Below(256));
    action.b = static_cast<uint8_t>(Below(256));
    action.c = static_cast<uint8_t>(Below(256));
    if (kind != ActionKind::PushWrongLength) {
        action.length = kind == ActionKind::PushI420 ? kI420Size : kRgbSize;
        return action;
    }
    switch (Below(7)) {
        case 0:
            action.length = 0;
            break;
        case 1:
            action.length = static_cast<ULONG>(1 + Below(64));
            break;
        case 2:
            action.length = static_cast<ULONG>(kI420Size - 1 - Below(4096));
            break;
        case 3:  // longer than I420, shorter than RGB24: still I420
            action.length = static_cast<ULONG>(kI420Size + 1 + Below(kRgbSize - kI420Size - 1));
            break;
        case 4:
            action.length = kRgbSize - 1;
            break;
        case 5:  // longer than RGB24: RGB24
            action.length = static_cast<ULONG>(kRgbSize + 1 + Below(8192));
            break;
        default:
            action.length = static_cast<ULONG>(1 + Below(kI420Size - 1));
            break;
    }
    return action;
}

Action InterleavingScheduler::Submission(bool wholeImage) {
    Action action;
    action.kind = ActionKind::Submit;
    action.headerSize = 128;
    if (wholeImage) {
        action.length = kImageSize;
        return action;
    }
    switch (Below(7)) {
        case 0:
            action.length = static_cast<ULONG>(1 + Below(128));
            break;
        case 1:
            action.length = static_cast<ULONG>(kLine * (1 + Below(kHeight - 1)));
            break;
        case 2:
            action.length = static_cast<ULONG>(1 + Below(kImageSize - 1));
            break;
        case 3:
            action.length = 0;
            break;
        case 4:
            action.length = kImageSize;
            action.noData = true;
            break;
        case 5:
            action.length = static_cast<ULONG>(kImageSize + 1 + Below(16384));
            break;
        default:
            action.length = kImageSize;
            break;
    }
    // Now and then a header with no room for a KS_FRAME_INFO, or with more.
    const uint64_t header = Below(8);
    action.headerSize = header == 0 ? 56 : (header == 1 ? 200 : 128);
    return action;
}

Action InterleavingScheduler::Advance() {
    Action action;
    action.kind = ActionKind::AdvanceBy;
    // Mostly within a few frame periods; now and then a stall long enough for
    // the engine to skip ahead rather than catch up.
    action.delta = Below(16) == 0 ? static_cast<int64_t>((9 + Below(12)) * kFramePeriod)
                                  : static_cast<int64_t>(Below(kFramePeriod * 5 / 2));
    return action;
}

}  // namespace reliability
