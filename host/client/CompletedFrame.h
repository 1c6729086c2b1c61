// A capture buffer given back to the client: its stream header (and the
// KS_FRAME_INFO behind it, when the header is long enough to hold one) exactly
// as the driver left it, and the client's own buffer with what was written.
#pragma once

#include <host/ksmedia.h>

#include <cstdint>
#include <vector>

namespace host {

struct CompletedFrame {
    uint64_t ticket = 0;               // as Submit returned it
    NTSTATUS status = STATUS_SUCCESS;  // STATUS_CANCELLED: flushed at stop, or CancelRead
    KSSTREAM_HEADER header{};          // the first sizeof(KSSTREAM_HEADER) bytes
    bool hasFrameInfo = false;         // the header's Size holds a KS_FRAME_INFO
    KS_FRAME_INFO frameInfo{};         // valid when hasFrameInfo
    std::vector<uint8_t> headerBytes;  // all of the header's bytes
    void* data = nullptr;              // the buffer that was submitted
    ULONG bufferSize = 0;              // its size
};

}  // namespace host
