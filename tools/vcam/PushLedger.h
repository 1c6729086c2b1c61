// What the producer pushed and when, so the capture side can tell which push
// a delivered frame shows and how long it took to get there. A delivered
// frame is matched to its push by the sequence number drawn in it (the
// built-in pattern) or by a fingerprint of its luma, which an I420 push
// reaches the YUY2 stream unchanged. Thread-safe: the producer records while
// the capture loop looks up.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <unordered_map>

namespace vcam {

class PushLedger {
  public:
    struct Push {
        uint64_t sequence;  // 0 for the first push of the run
        int64_t time;       // system time (100 ns) just before the push request
    };

    // Records push `sequence`, made at `time`, with the luma fingerprint when
    // the source's pushes can be recognised that way.
    void Record(uint64_t sequence, int64_t time, std::optional<uint64_t> fingerprint);
    std::optional<Push> BySequence(uint64_t sequence) const;
    // The latest push with this fingerprint.
    std::optional<Push> ByFingerprint(uint64_t fingerprint) const;
    // True the first time it is asked about `sequence`: its first delivery.
    bool FirstDelivery(uint64_t sequence);

    // A 64-bit FNV-1a hash of `count` luma samples `step` bytes apart: step 1
    // for an I420 Y plane, step 2 for the Y bytes of YUY2.
    static uint64_t Fingerprint(const uint8_t* luma, size_t count, size_t step);

  private:
    mutable std::mutex mutex_;                             // guards everything below
    std::unordered_map<uint64_t, int64_t> times_;          // sequence -> push time
    std::unordered_map<uint64_t, uint64_t> fingerprints_;  // fingerprint -> latest sequence
    std::unordered_map<uint64_t, bool> delivered_;         // sequences seen delivered
};

}  // namespace vcam
