// libFuzzer target: arbitrary caller ranges for the pin's intersection
// handler and arbitrary connection formats for its SetDataFormat check.
//
// Every range and format lives in a heap block of exactly its FormatSize
// bytes, and the intersection's output buffer is exactly DataBufferSize
// bytes, so AddressSanitizer reports any read or write beyond what the caller
// provided. Each block starts as the pin's own range (or the default format)
// and the input edits it, so inputs start at a range that matches and short
// mutations reach every check, wherever in the structure its field lies.
//
// Input layout (missing bytes read as 0):
//   [0]      bit 0: 0 intersection, 1 SetDataFormat; bit 1: SetDataFormat
//            gets an old format; bits 2-3: the pin's KSSTATE
//   [1..2]   FormatSize of the range or format, little endian, mod 1024
//            (0 means the natural size: 296 for a range, 152 for a format)
//   [3..4]   DataBufferSize, little endian, mod 1024
//   [5..]    edits of 3 bytes: offset (little endian, mod the block size)
//            and a byte XORed into the block there
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "driver/pin/Descriptors.h"
#include "driver/pin/FormatNegotiation.h"
#include "driver/platform/Platform.h"

namespace {

const size_t kHeaderBytes = 5;

uint8_t InputByte(const uint8_t* data, size_t size, size_t index) {
    return index < size ? data[index] : 0;
}

// `size` bytes: `base` (zero beyond its end) with the input's edits applied,
// FormatSize forced to `size` when the block can hold it.
std::unique_ptr<uint8_t[]> Build(const void* base, size_t baseSize, ULONG size, const uint8_t* data,
                                 size_t dataSize) {
    std::unique_ptr<uint8_t[]> block(new uint8_t[size == 0 ? 1 : size]);
    std::memset(block.get(), 0, size == 0 ? 1 : size);
    std::memcpy(block.get(), base, size < baseSize ? size : baseSize);
    for (size_t i = kHeaderBytes; size != 0 && i + 3 <= dataSize; i += 3) {
        const size_t offset = (data[i] | (data[i + 1] << 8)) % size;
        block[offset] ^= data[i + 2];
    }
    if (size >= sizeof(ULONG)) {
        std::memcpy(block.get(), &size, sizeof(ULONG));
    }
    return block;
}

void Require(bool condition) {
    if (!condition) {
        __builtin_trap();
    }
}

void FuzzIntersection(ULONG rangeSize, ULONG bufferSize, const uint8_t* data, size_t dataSize) {
    if (rangeSize < sizeof(ULONG)) {
        rangeSize = sizeof(ULONG);  // the class library always hands over FormatSize
    }
    std::unique_ptr<uint8_t[]> range =
        Build(&CaptureDataRange, sizeof(CaptureDataRange), rangeSize, data, dataSize);
    std::unique_ptr<uint8_t[]> output(new uint8_t[bufferSize]);
    const ULONG untouched = 0xA5A5A5A5;
    ULONG dataSizeOut = untouched;

    const NTSTATUS status =
        IntersectHandler(nullptr, nullptr, nullptr, reinterpret_cast<PKSDATARANGE>(range.get()),
                         const_cast<PKSDATARANGE>(&CaptureDataRange.DataRange), bufferSize,
                         output.get(), &dataSizeOut);

    if (rangeSize < sizeof(KS_DATARANGE_VIDEO)) {
        Require(status == STATUS_NO_MATCH && dataSizeOut == untouched);
        return;
    }
    const ULONG biSize =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(range.get())->VideoInfoHeader.bmiHeader.biSize;
    switch (status) {
        case STATUS_SUCCESS: {
            Require(dataSizeOut == biSize + 112 && dataSizeOut <= bufferSize);
            // The answer holds at least the whole fixed bitmap header.
            Require(dataSizeOut >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
            const auto* format =
                reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(output.get());
            Require(format->DataFormat.FormatSize == dataSizeOut);
            Require(format->DataFormat.SampleSize == format->VideoInfoHeader.bmiHeader.biSizeImage);
            break;
        }
        case STATUS_BUFFER_OVERFLOW:
            Require(bufferSize == 0 && dataSizeOut == biSize + 112);
            break;
        case STATUS_BUFFER_TOO_SMALL:
            Require(bufferSize != 0 && dataSizeOut == untouched);
            break;
        case STATUS_NO_MATCH:
        case STATUS_INVALID_PARAMETER:
            Require(dataSizeOut == untouched);
            break;
        default:
            Require(false);
    }
}

void FuzzSetDataFormat(uint8_t mode, ULONG formatSize, const uint8_t* data, size_t dataSize) {
    if (formatSize < sizeof(ULONG)) {
        formatSize = sizeof(ULONG);
    }
    KS_DATAFORMAT_VIDEOINFOHEADER base;
    std::memset(&base, 0, sizeof(base));
    std::memcpy(&base.DataFormat, &CaptureDataRange.DataRange, sizeof(KSDATAFORMAT));
    base.VideoInfoHeader = CaptureDataRange.VideoInfoHeader;
    base.DataFormat.FormatSize = sizeof(base);
    base.DataFormat.SampleSize = base.VideoInfoHeader.bmiHeader.biSizeImage;
    std::unique_ptr<uint8_t[]> format = Build(&base, sizeof(base), formatSize, data, dataSize);

    // A pin without its VcamPin, as before Create: an accepted change in STOP
    // ends at the missing object, never at a copy.
    KSPIN pin;
    std::memset(&pin, 0, sizeof(pin));
    pin.Descriptor = &CapturePinDescriptor;
    pin.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(format.get());
    pin.DeviceState = static_cast<KSSTATE>((mode >> 2) & 3);
    KSDATAFORMAT oldFormat = base.DataFormat;

    const NTSTATUS status = SetDataFormat(&pin, (mode & 2) ? &oldFormat : nullptr, nullptr,
                                          &CaptureDataRange.DataRange, nullptr);
    switch (status) {
        case STATUS_SUCCESS: {
            Require((mode & 2) == 0);
            const auto* accepted =
                reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format.get());
            const KS_BITMAPINFOHEADER& bitmap = accepted->VideoInfoHeader.bmiHeader;
            Require(formatSize >= sizeof(KS_DATAFORMAT_VIDEOINFOHEADER));
            Require(bitmap.biSize >= sizeof(KS_BITMAPINFOHEADER) &&
                    bitmap.biSize + 112 <= formatSize);
            Require(bitmap.biWidth == 1280 && bitmap.biHeight == 720);
            Require(bitmap.biCompression == VCAM_FOURCC_YUY2);
            Require(bitmap.biSizeImage >= 1280u * 720u * (bitmap.biBitCount / 8u));
            break;
        }
        case STATUS_INVALID_DEVICE_STATE:
            Require((mode & 2) != 0);
            break;
        case STATUS_NO_MATCH:
        case STATUS_INVALID_PARAMETER:
            break;
        default:
            Require(false);
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const uint8_t mode = InputByte(data, size, 0);
    ULONG declared = (InputByte(data, size, 1) | (InputByte(data, size, 2) << 8)) % 1024u;
    const ULONG bufferSize = (InputByte(data, size, 3) | (InputByte(data, size, 4) << 8)) % 1024u;

    if ((mode & 1) == 0) {
        FuzzIntersection(declared == 0 ? sizeof(KS_DATARANGE_VIDEO) : declared, bufferSize, data,
                         size);
    } else {
        FuzzSetDataFormat(mode, declared == 0 ? sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) : declared,
                          data, size);
    }
    return 0;
}
