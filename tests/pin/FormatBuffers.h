// Test helpers for the format routines: caller ranges and connection formats
// in heap blocks of exactly their FormatSize bytes, so that a read or write
// past what a caller provided lands outside the block (AddressSanitizer
// reports it in the sanitizer build), and a fake KSPIN for SetDataFormat.
#pragma once

#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/pin/Descriptors.h"
#include "driver/platform/Platform.h"

namespace pintest {

// A block of exactly `size` bytes.
class ExactBlock {
  public:
    explicit ExactBlock(size_t size) : bytes_(new uint8_t[size == 0 ? 1 : size]), size_(size) {
        std::memset(bytes_.get(), 0, size == 0 ? 1 : size);
    }
    uint8_t* data() { return bytes_.get(); }
    size_t size() const { return size_; }
    template <typename T>
    T* as() {
        return reinterpret_cast<T*>(bytes_.get());
    }

  private:
    std::unique_ptr<uint8_t[]> bytes_;
    size_t size_;
};

// The pin's own data range, copied into `size` bytes (the first
// min(size, 296) bytes of it; the rest zero), with FormatSize = size.
inline ExactBlock RangeCopy(ULONG size = sizeof(KS_DATARANGE_VIDEO)) {
    ExactBlock block(size);
    const size_t copied = size < sizeof(KS_DATARANGE_VIDEO) ? size : sizeof(KS_DATARANGE_VIDEO);
    std::memcpy(block.data(), &CaptureDataRange, copied);
    if (size >= sizeof(ULONG)) {
        block.as<KSDATARANGE>()->FormatSize = size;
    }
    return block;
}

// The default connection format (what the intersection of the pin's own
// range yields), in `size` bytes, FormatSize = size.
inline ExactBlock DefaultFormat(ULONG size = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) {
    KS_DATAFORMAT_VIDEOINFOHEADER format;
    std::memset(&format, 0, sizeof(format));
    std::memcpy(&format.DataFormat, &CaptureDataRange.DataRange, sizeof(KSDATAFORMAT));
    format.VideoInfoHeader = CaptureDataRange.VideoInfoHeader;
    ExactBlock block(size);
    const size_t copied = size < sizeof(format) ? size : sizeof(format);
    std::memcpy(block.data(), &format, copied);
    if (size >= sizeof(ULONG)) {
        block.as<KSDATAFORMAT>()->FormatSize = size;
    }
    return block;
}

// A KSPIN as the class library hands it to SetDataFormat before Create: the
// proposed format in ConnectionFormat, no Context.
inline KSPIN FakePin(ExactBlock& format, KSSTATE state = KSSTATE_STOP) {
    KSPIN pin;
    std::memset(&pin, 0, sizeof(pin));
    pin.Descriptor = &CapturePinDescriptor;
    pin.ConnectionFormat = format.as<KSDATAFORMAT>();
    pin.DeviceState = state;
    return pin;
}

inline PKSDATARANGE PinRange() {
    return const_cast<PKSDATARANGE>(&CaptureDataRange.DataRange);
}

}  // namespace pintest
