#include "tools/vcam/OutputQueue.h"

#include "tools/vcam/CameraFormat.h"

#include <cstring>

namespace vcam {

OutputQueue::OutputQueue(Y4mWriter* writer) : writer_(writer), thread_([this] { WriterMain(); }) {}

OutputQueue::~OutputQueue() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
        ended_ = true;
        queued_.clear();
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
}

bool OutputQueue::Enqueue(const uint8_t* yuy2) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait(lock, [this] { return ended_ || queued_.size() < kDepth; });
    if (ended_) return false;
    std::vector<uint8_t> frame;
    if (!spare_.empty()) {
        frame = std::move(spare_.back());
        spare_.pop_back();
    }
    frame.assign(yuy2, yuy2 + kYuy2Bytes);
    queued_.push_back(std::move(frame));
    changed_.notify_all();
    return true;
}

void OutputQueue::WriterMain() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        changed_.wait(lock, [this] { return ended_ || finishing_ || !queued_.empty(); });
        if (ended_ || (finishing_ && queued_.empty())) break;
        std::vector<uint8_t> frame = std::move(queued_.front());
        queued_.pop_front();
        lock.unlock();
        bool more = true;
        try {
            more = writer_->WriteYuy2(frame.data());
        } catch (...) {
            lock.lock();
            error_ = std::current_exception();
            ended_ = true;
            changed_.notify_all();
            break;
        }
        lock.lock();
        spare_.push_back(std::move(frame));
        if (!more) ended_ = true;
        changed_.notify_all();
    }
}

void OutputQueue::Finish() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        finishing_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
    if (error_) std::rethrow_exception(error_);
    writer_->Close();
}

}  // namespace vcam
