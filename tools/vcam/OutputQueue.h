// Decouples the capture loop from the Y4M output: delivered pictures are
// copied into a queue and written by a thread of their own, so a slow disk
// or a reader that starts late (ffplay opening its window) does not keep
// capture buffers away from the pin. The queue holds at most kDepth frames;
// past that, Enqueue waits for the writer, which is the only way a steady
// slow reader slows the capture down.
#pragma once

#include "tools/vcam/Y4mWriter.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace vcam {

class OutputQueue {
  public:
    static constexpr size_t kDepth = 32;  // about a second of video, 59 MB

    // Starts the writer thread; `writer` outlives the queue.
    explicit OutputQueue(Y4mWriter* writer);
    // Stops the writer without waiting for the frames still queued.
    ~OutputQueue();
    OutputQueue(const OutputQueue&) = delete;
    OutputQueue& operator=(const OutputQueue&) = delete;

    // Copies one YUY2 picture (kYuy2Bytes) into the queue. Returns false once
    // the output has ended: its reader went away or a write failed.
    bool Enqueue(const uint8_t* yuy2);
    // Writes everything queued, stops the thread and closes the writer.
    // Rethrows the writer's ToolError, if it had one.
    void Finish();

  private:
    void WriterMain();

    Y4mWriter* writer_;                        // used by the writer thread only, until Finish
    std::mutex mutex_;                         // guards everything below
    std::condition_variable changed_;          // a frame was queued or written, or the end came
    std::deque<std::vector<uint8_t>> queued_;  // pictures waiting, oldest first
    std::vector<std::vector<uint8_t>> spare_;  // written pictures' memory, for reuse
    bool finishing_ = false;                   // no more frames will come
    bool ended_ = false;                       // the output took its last frame
    std::exception_ptr error_;                 // what ended the writer, if it failed
    std::thread thread_;                       // the writer
};

}  // namespace vcam
