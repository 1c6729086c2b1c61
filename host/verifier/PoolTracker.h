// The pool's block registry: every block the host pool hands out, with its
// size, tag, allocation serial and caller, so the verifier can name leaks by
// tag and tell a double free from a free of memory the pool never gave out.
//
// Freed blocks are poisoned (0xDD) and held in a small quarantine before the
// memory goes back to the C library, so a late read sees the poison and a
// second free is recognised exactly. Under AddressSanitizer the quarantine and
// poisoning are left to ASan.
#pragma once

#include <host/verifier/Verifier.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace host {

class PoolTracker {
  public:
    static PoolTracker& Instance();

    // Byte patterns: fresh blocks and freed blocks.
    static constexpr unsigned char kFreshFill = 0xCD;
    static constexpr unsigned char kFreedFill = 0xDD;

    struct Block {
        size_t size;
        uint32_t tag;
        uint64_t serial;     // allocation order, from 1 per process
        const void* caller;  // return address of the allocating call
    };

    // Any thread. Gets `size` bytes from the C library filled with
    // kFreshFill and tracks them; nullptr when the C library has none.
    void* Allocate(size_t size, uint32_t tag, const void* caller);

    enum class FreeResult { Freed, DoubleFree, Unknown };
    // Any thread. Untracks and retires a block. A block that is not live is
    // left alone and the result says whether it was freed before.
    FreeResult Free(void* block, Block* freed);

    // Looks a live block up; false if `block` is not a live block's start.
    bool Find(const void* block, Block* found);

    size_t Outstanding();
    size_t Outstanding(uint32_t tag);
    std::vector<PoolBlockInfo> OutstandingList();
    // Serial of the last allocation so far; blocks made later have larger ones.
    uint64_t Mark();
    // Live blocks allocated after `mark`, with their records, address order.
    std::vector<std::pair<const void*, Block>> OutstandingSince(uint64_t mark);

  private:
    void RememberFreed(void* block);
    void ForgetFreed(void* block);
    void Quarantine(void* block, size_t size);

    std::mutex mutex_;                   // guards every field below
    std::map<const void*, Block> live_;  // live blocks by address
    uint64_t serial_ = 0;                // last serial handed out
    // Addresses freed recently (for double-free detection), with the
    // generation of the free; a new allocation at an address forgets it.
    std::unordered_map<const void*, uint64_t> freed_;
    std::deque<std::pair<const void*, uint64_t>> freedOrder_;
    uint64_t freedGeneration_ = 0;
    // Poisoned blocks not yet returned to the C library, oldest first.
    std::deque<std::pair<void*, size_t>> quarantine_;
    size_t quarantineBytes_ = 0;
};

}  // namespace host
