#include "tools/vcam/PushLedger.h"

namespace vcam {

void PushLedger::Record(uint64_t sequence, int64_t time, std::optional<uint64_t> fingerprint) {
    std::lock_guard<std::mutex> lock(mutex_);
    times_[sequence] = time;
    if (fingerprint) fingerprints_[*fingerprint] = sequence;
}

std::optional<PushLedger::Push> PushLedger::BySequence(uint64_t sequence) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = times_.find(sequence);
    if (found == times_.end()) return std::nullopt;
    return Push{sequence, found->second};
}

std::optional<PushLedger::Push> PushLedger::ByFingerprint(uint64_t fingerprint) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto found = fingerprints_.find(fingerprint);
    if (found == fingerprints_.end()) return std::nullopt;
    auto time = times_.find(found->second);
    if (time == times_.end()) return std::nullopt;
    return Push{found->second, time->second};
}

bool PushLedger::FirstDelivery(uint64_t sequence) {
    std::lock_guard<std::mutex> lock(mutex_);
    return delivered_.emplace(sequence, true).second;
}

uint64_t PushLedger::Fingerprint(const uint8_t* luma, size_t count, size_t step) {
    uint64_t hash = 14695981039346656037ull;
    for (size_t i = 0; i < count; ++i) {
        hash ^= luma[i * step];
        hash *= 1099511628211ull;
    }
    return hash;
}

}  // namespace vcam
