// An open capture pin as a transport reaches it: property requests on the
// pin handle and capture reads (IOCTL_KS_READ_STREAM). Reads complete in the
// order they were submitted; a read's header and buffer belong to the caller
// and must stay put until the read is back. One thread uses a channel.
#pragma once

#include "tools/vcam/device/KsResult.h"

#include <cstdint>
#include <vector>

namespace vcam {

// One capture read: the stream header (KsWire::ReadHeader, written back at
// completion) and the buffer it names.
struct KsRead {
    std::vector<uint8_t> header;
    std::vector<uint8_t> buffer;
    KsResult result;    // set when the read is back
    bool back = false;  // the read came back; cleared by SubmitRead
};

class KsPinChannel {
  public:
    virtual ~KsPinChannel() = default;
    // IOCTL_KS_PROPERTY on the pin: `request` is a KSPROPERTY, `value` the
    // property's data buffer (read for a set, written for a get).
    virtual KsResult Property(const std::vector<uint8_t>& request, void* value,
                              uint32_t length) = 0;
    // Sends one read; on success it is pending until WaitRead gives it back.
    virtual KsResult SubmitRead(KsRead* read) = 0;
    // The oldest pending read once it is back (header written back, result
    // set), waiting up to `milliseconds`; nullptr on a time-out or when none
    // is pending.
    virtual KsRead* WaitRead(uint32_t milliseconds) = 0;
    virtual size_t Pending() const = 0;
    // Cancels the pending reads, waits for them and closes the pin. The
    // reads are given back through WaitRead(0) afterwards.
    virtual void Close() = 0;
};

}  // namespace vcam
