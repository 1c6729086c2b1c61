// One `vcam run`: the camera end to end. The session brings the camera up
// through the client calls (load the driver, add and start the device, open
// the filter through its video camera interface, check the frame injection
// signature, negotiate YUY2 by intersection, create the capture pin), runs
// the pin with a few capture buffers always queued, pushes the source's
// frames through the frame injection property at the source's rate, and
// collects what the pin delivers; then it stops the pin, closes everything,
// stops and removes the device and asks the verifier what it saw.
//
// Pacing: push k is due at start + P/2 + k x (source period), where start is
// the moment the run request was made and P the camera's frame period, so
// pushes fall between the camera's ticks (start + n x P) instead of racing
// them. On the real clock a producer thread sleeps until each push is due
// and the main thread collects deliveries. On the virtual clock one thread
// moves time itself, from each push or tick to the next (HostKernel::AdvanceTo),
// so the run is exact, repeatable and as fast as the machine allows; a push
// and a tick due at the same instant run tick first.
//
// A run ends at the first of: --frames delivered, --seconds of stream time
// (default 5 s for an endless source), the end of a finite source (once a
// tick after its last push has delivered it), the output's reader going
// away, or Ctrl-C.
#pragma once

#include <host/client/PinOptions.h>

#include "tools/vcam/Camera.h"
#include "tools/vcam/FrameSource.h"
#include "tools/vcam/OutputQueue.h"
#include "tools/vcam/PushLedger.h"
#include "tools/vcam/RunReport.h"
#include "tools/vcam/StatusLine.h"
#include "tools/vcam/Y4mWriter.h"

#include <atomic>
#include <cstdint>
#include <exception>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace vcam {

struct RunOptions {
    std::string input;        // "" the built-in pattern, "-" standard input, else a file
    std::string inputFormat;  // "" (y4m for files, i420 for stdin), "i420", "rgb24", "y4m"
    std::string rate;         // "" the source's own rate (raw input: 30000/1001)
    bool loop = false;        // start a file again at its end
    std::string output = "capture.y4m";     // "-" standard output, "none" nothing
    std::string snapshot = "snapshot.png";  // "none" nothing
    double seconds = -1;                    // stream time limit; < 0 when not given
    uint64_t frames = 0;                    // delivered frame limit; 0 when not given
    bool virtualClock = false;              // run on the virtual clock
    unsigned buffers = 4;                   // capture buffers kept queued
    // When the master clock is assigned to the pin (default: as the
    // master-clock variant says).
    host::PinOptions::Clock clock = host::PinOptions::Clock::AsVariant;
};

class CaptureSession {
  public:
    explicit CaptureSession(RunOptions options);
    // Stops the producer and tears the camera down if Run did not finish.
    ~CaptureSession();
    CaptureSession(const CaptureSession&) = delete;
    CaptureSession& operator=(const CaptureSession&) = delete;

    // Runs the whole session. Throws ToolError: usage or input for the
    // source and the output files, camera for a step the camera refused.
    RunReport Run();

  private:
    std::unique_ptr<FrameSource> OpenSource() const;
    void Open();
    void StreamVirtual();
    void StreamReal();
    void Produce();
    // Reads the source's next frame into frame_; false at its end.
    bool ReadNext();
    // Pushes frame_ through the frame injection property.
    void PushCurrent();
    // Takes every buffer the pin gave back: delivers it and queues it again.
    void DrainCompletions();
    void Deliver(const host::CompletedFrame& frame);
    // The system time a delivery is stamped with: its presentation time is
    // stream time, counted from the master clock's zero; a frame without
    // a valid time counts at the moment it came back.
    int64_t SystemTimeOf(const KSSTREAM_HEADER& header) const;
    // The run is over: a limit is reached or the deadline has passed. Once
    // true it stays true.
    bool Done();
    // A limit other than the deadline is reached (frames, end of source,
    // output closed, Ctrl-C).
    bool LimitReached() const;
    void UpdateStatus(bool force);
    // Works out which tick delivered each frame; fills the lateness and the
    // ticks without a buffer of the report.
    void AttributeTicks();
    // Copies the frame tick's run durations from the host executive's DPC
    // record into the report; after the pin has stopped.
    void NoteTickDurations();
    void Close();

    RunOptions options_;                          // as given
    RunReport report_;                            // filled as the run goes
    std::unique_ptr<FrameSource> source_;         // read by the producer only
    bool patternSource_ = false;                  // pushes carry their sequence number
    bool fingerprintSource_ = false;              // pushes are recognised by luma fingerprint
    std::unique_ptr<Camera> camera_;              // the driver and its device
    std::unique_ptr<host::FilterHandle> filter_;  // the capture filter
    std::unique_ptr<host::PinHandle> pin_;        // the capture pin
    std::vector<std::vector<uint8_t>> buffers_;   // capture buffers, owned here, lent to the pin
    std::unique_ptr<Y4mWriter> writer_;           // the Y4M output, or null
    std::unique_ptr<OutputQueue> outputQueue_;    // feeds writer_ from its own thread
    std::vector<uint8_t> lastFrame_;              // the latest delivered picture (snapshot)
    PushLedger ledger_;                           // pushes, shared by producer and capture loop
    StatusLine status_;                           // the live line on a terminal
    int64_t start_ = 0;                           // system time of the run request
    int64_t streamOrigin_ = 0;                    // system time at stream time 0
    int64_t deadline_ = 0;                        // system time the run ends at (stream limit)
    std::vector<int64_t> presentations_;          // PresentationTime of every delivery, in order
    int64_t lastPresentation_ = 0;                // ... and of the latest one
    bool accepting_ = true;                       // deliveries still count; buffers are requeued
    bool readerGone_ = false;                     // the output pipe closed

    // Producer state: written by the producer (the main thread on the
    // virtual clock, its own thread on the real one), read by the capture loop.
    std::vector<uint8_t> frame_;            // the frame being pushed; producer only
    uint64_t nextSequence_ = 0;             // sequence number of the next push; producer only
    std::atomic<uint64_t> pushed_{0};       // pushes made
    std::atomic<bool> sourceEnded_{false};  // the source has no more frames
    std::atomic<int64_t> lastPushDone_{0};  // system time the latest push returned
    std::atomic<bool> stop_{false};         // the capture loop asks the producer to end
    std::thread producer_;                  // real clock only
    std::exception_ptr producerError_;      // what ended the producer, read after join
};

}  // namespace vcam
