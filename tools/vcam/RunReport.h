// The outcome of one `vcam run`: what was pushed and delivered, how well the
// camera kept its schedule, and what the verifier found. Printed as a short
// summary or as one JSON object (--json).
//
// Definitions:
//  - delivered fps: 10^7 over the mean interval between deliveries, the slope
//    of a least-squares line through the PresentationTimes against the
//    delivery count, so one late delivery at either end does not skew it;
//  - tick lateness: a delivery's PresentationTime (stamped by the pin from
//    its reference clock, the system time, when the tick completes the frame)
//    minus the time its tick was scheduled for, start + n x 333667, with start
//    the moment the run request was made. A delivery's tick n is the latest
//    one due by its PresentationTime and earlier than the next delivery's;
//  - push-to-delivery latency: the first delivery of a pushed frame minus
//    the moment its push request was made; only for sources whose pushes can
//    be recognised in the captured picture (the pattern, I420 input);
//  - ticks without a queued buffer: ticks up to the last delivery that
//    delivered nothing, i.e. last tick number minus frames delivered;
//  - frame-interval jitter: for each pair of successive deliveries, how far
//    the interval between their PresentationTimes strays from the frame
//    period, 333667, in either direction. A tick is seen at the first clock
//    interrupt at or after its due time, so the jitter shows the clock
//    interrupt interval; a tick with no buffer shows as a period of jitter;
//  - tick duration: how long each run of the frame tick's DPC routine took on
//    the real clock (the host executive times every DPC routine; the tick is
//    the routine of the camera's timer), against the 100 us a DPC routine
//    should stay under.
#pragma once

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/Statistics.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace vcam {

class RunReport {
  public:
    std::string clock;         // "real" or "virtual"
    std::string source;        // the source's description
    std::string output;        // where the Y4M went ("" for none)
    std::string snapshot;      // where the PNG went ("" for none)
    double streamSeconds = 0;  // from the run request to the last delivery
    uint64_t framesPushed = 0;
    uint64_t framesDelivered = 0;
    uint64_t framesCancelled = 0;      // buffers given back unfilled at stop
    uint64_t shortFrames = 0;          // deliveries with DataUsed below the image size
    uint64_t pictureNumberErrors = 0;  // PictureNumber not 1, 2, 3, ... in order
    uint64_t lastTick = 0;             // tick number of the last delivery
    double deliveredFps = 0;           // Rate() at the end of the run
    Statistics latenessMs;             // tick lateness, milliseconds
    Statistics latencyMs;              // push-to-delivery latency, milliseconds
    Statistics jitterMs;               // frame-interval jitter, milliseconds
    Statistics tickMicroseconds;       // tick duration, microseconds
    bool latencyMeasurable = false;    // the source's pushes can be recognised
    uint64_t violations = 0;           // verifier rule violations
    uint64_t poolBlocksLeft = 0;       // pool blocks still allocated after removal
    std::string verifierText;          // the violations and leaks, for the summary

    // The most a DPC routine should run, in microseconds.
    static constexpr double kDpcGuidelineMicroseconds = 100.0;

    uint64_t TicksWithoutBuffer() const {
        return lastTick > framesDelivered ? lastTick - framesDelivered : 0;
    }
    // The run is clean: no violation, nothing leaked.
    bool Clean() const { return violations == 0 && poolBlocksLeft == 0; }

    // Feeds the delivered-rate fit and the jitter with one delivery's
    // PresentationTime, in delivery order.
    void AddDelivery(int64_t presentationTime);
    // The delivered rate of the deliveries fed so far (0 for fewer than two).
    double Rate() const;

    void PrintText(std::FILE* out) const;
    void PrintJson(std::FILE* out) const;

  private:
    // Sums of the line fit of PresentationTime (seconds since the first
    // delivery) against the delivery's index; written by AddDelivery only.
    double fitCount_ = 0, fitSumX_ = 0, fitSumY_ = 0, fitSumXX_ = 0, fitSumXY_ = 0;
    int64_t fitOrigin_ = 0;  // PresentationTime of the first delivery
    int64_t previous_ = 0;   // PresentationTime of the latest delivery
};

}  // namespace vcam
