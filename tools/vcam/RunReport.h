// The outcome of one `vcam run`: what was pushed and delivered, how well the
// camera kept its schedule, and what the verifier found. Printed as a short
// summary or as one JSON object (--json).
//
// Definitions:
//  - delivered fps: (delivered - 1) frame intervals over the span between the
//    first and the last delivered PresentationTime;
//  - tick lateness: a delivery's PresentationTime (stamped by the pin from
//    its reference clock, the system time, when the tick completes the frame)
//    minus the time its tick was scheduled for, start + n x 333667. The tick
//    number n of a delivery is the period its PresentationTime falls in,
//    counted from the moment the run request was made, and at least one more
//    than the previous delivery's (ticks that ran late back to back);
//  - push-to-delivery latency: the first delivery of a pushed frame minus
//    the moment its push request was made; only for sources whose pushes can
//    be recognised in the captured picture (the pattern, I420 input);
//  - ticks without a queued buffer: ticks up to the last delivery that
//    delivered nothing, i.e. last tick number minus frames delivered.
#pragma once

#include "tools/vcam/Statistics.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vcam {

struct RunReport {
    std::string clock;            // "real" or "virtual"
    std::string source;           // the source's description
    std::string output;           // where the Y4M went ("" for none)
    std::string snapshot;         // where the PNG went ("" for none)
    double streamSeconds = 0;     // from the run request to the last delivery
    uint64_t framesPushed = 0;
    uint64_t framesDelivered = 0;
    uint64_t framesCancelled = 0;    // buffers given back unfilled at stop
    uint64_t shortFrames = 0;        // deliveries with DataUsed below the image size
    uint64_t pictureNumberErrors = 0;  // PictureNumber not 1, 2, 3, ... in order
    uint64_t lastTick = 0;           // tick number of the last delivery
    double deliveredFps = 0;
    Statistics latenessMs;           // tick lateness, milliseconds
    Statistics latencyMs;            // push-to-delivery latency, milliseconds
    bool latencyMeasurable = false;  // the source's pushes can be recognised
    uint64_t violations = 0;         // verifier rule violations
    uint64_t poolBlocksLeft = 0;     // pool blocks still allocated after removal
    std::string verifierText;        // the violations and leaks, for the summary

    uint64_t TicksWithoutBuffer() const {
        return lastTick > framesDelivered ? lastTick - framesDelivered : 0;
    }
    // The run is clean: no violation, nothing leaked.
    bool Clean() const { return violations == 0 && poolBlocksLeft == 0; }

    void PrintText(std::FILE* out) const;
    void PrintJson(std::FILE* out) const;
};

}  // namespace vcam
