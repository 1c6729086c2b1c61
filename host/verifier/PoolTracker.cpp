#include "host/verifier/PoolTracker.h"

#include <cstdlib>
#include <cstring>

#if defined(__has_feature)
#if __has_feature(address_sanitizer)
#define VCAM_POOL_UNDER_ASAN 1
#endif
#endif
#if defined(__SANITIZE_ADDRESS__) && !defined(VCAM_POOL_UNDER_ASAN)
#define VCAM_POOL_UNDER_ASAN 1
#endif

namespace host {

namespace {
// How many freed addresses are remembered for double-free detection.
constexpr size_t kFreedHistory = 65536;
// Quarantine bounds: poisoned memory held back from reuse.
constexpr size_t kQuarantineBytes = 16u << 20;
constexpr size_t kQuarantineBlocks = 4096;
}  // namespace

PoolTracker& PoolTracker::Instance() {
    static PoolTracker instance;
    return instance;
}

void* PoolTracker::Allocate(size_t size, uint32_t tag, const void* caller) {
    // A zero-byte request still yields a distinct block, as the kernel's does.
    void* block = std::malloc(size == 0 ? 1 : size);
    if (block == nullptr) {
        return nullptr;
    }
    std::memset(block, kFreshFill, size);
    std::lock_guard<std::mutex> lock(mutex_);
    live_[block] = Block{size, tag, ++serial_, caller};
    ForgetFreed(block);
    return block;
}

PoolTracker::FreeResult PoolTracker::Free(void* block, Block* freed) {
    Block record{};
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = live_.find(block);
        if (it == live_.end()) {
            return freed_.count(block) != 0 ? FreeResult::DoubleFree : FreeResult::Unknown;
        }
        record = it->second;
        live_.erase(it);
        RememberFreed(block);
    }
    if (freed != nullptr) {
        *freed = record;
    }
#if defined(VCAM_POOL_UNDER_ASAN)
    std::free(block);
#else
    std::memset(block, kFreedFill, record.size);
    Quarantine(block, record.size);
#endif
    return FreeResult::Freed;
}

bool PoolTracker::Find(const void* block, Block* found) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = live_.find(block);
    if (it == live_.end()) {
        return false;
    }
    if (found != nullptr) {
        *found = it->second;
    }
    return true;
}

size_t PoolTracker::Outstanding() {
    std::lock_guard<std::mutex> lock(mutex_);
    return live_.size();
}

size_t PoolTracker::Outstanding(uint32_t tag) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t count = 0;
    for (const auto& entry : live_) {
        if (entry.second.tag == tag) {
            ++count;
        }
    }
    return count;
}

std::vector<PoolBlockInfo> PoolTracker::OutstandingList() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<PoolBlockInfo> list;
    list.reserve(live_.size());
    for (const auto& entry : live_) {
        list.push_back(PoolBlockInfo{entry.first, entry.second.size, entry.second.tag});
    }
    return list;
}

uint64_t PoolTracker::Mark() {
    std::lock_guard<std::mutex> lock(mutex_);
    return serial_;
}

std::vector<std::pair<const void*, PoolTracker::Block>> PoolTracker::OutstandingSince(
    uint64_t mark) {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::pair<const void*, Block>> list;
    for (const auto& entry : live_) {
        if (entry.second.serial > mark) {
            list.push_back(entry);
        }
    }
    return list;
}

// Called with mutex_ held.
void PoolTracker::RememberFreed(void* block) {
    uint64_t generation = ++freedGeneration_;
    freed_[block] = generation;
    freedOrder_.emplace_back(block, generation);
    while (freedOrder_.size() > kFreedHistory) {
        auto oldest = freedOrder_.front();
        freedOrder_.pop_front();
        auto it = freed_.find(oldest.first);
        if (it != freed_.end() && it->second == oldest.second) {
            freed_.erase(it);
        }
    }
}

// Called with mutex_ held.
void PoolTracker::ForgetFreed(void* block) {
    freed_.erase(block);
}

void PoolTracker::Quarantine(void* block, size_t size) {
    std::deque<void*> release;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        quarantine_.emplace_back(block, size);
        quarantineBytes_ += size;
        while (!quarantine_.empty() &&
               (quarantineBytes_ > kQuarantineBytes || quarantine_.size() > kQuarantineBlocks)) {
            release.push_back(quarantine_.front().first);
            quarantineBytes_ -= quarantine_.front().second;
            quarantine_.pop_front();
        }
    }
    for (void* old : release) {
        std::free(old);
    }
}

}  // namespace host
