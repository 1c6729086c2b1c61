// libFuzzer target: format negotiation and pin creation through the client,
// as a capture application does them: KSPROPERTY_PIN_DATAINTERSECTION sent
// with IntersectionRequest-shaped inputs (the pin's own range, edited) and
// with raw inputs, and CreatePin with edited and raw connection formats;
// every created pin is walked up to RUN and back down and closed.
//
// Requests, answers and formats live in heap blocks of exactly their
// lengths, so AddressSanitizer reports any access past what the client gave.
// Beyond the verifier, each input checks that
//  - a successful intersection answers a format of exactly the size it
//    reports, no more than the buffer, and that the pin accepts that format;
//  - every buffer submitted to a created pin comes back exactly once, with
//    no more DataUsed than its size;
//  - no pool block is left once the pin is closed.
//
// Input layout (FuzzInput: little endian, missing bytes read as 0):
//   [0]     mode %4: 0 intersection of edited ranges, 1 intersection with raw
//           bytes behind the KSP_PIN, 2 CreatePin with the negotiated format
//           edited, 3 CreatePin with raw format bytes
//   [1]     pin id: below 240 -> 0, 255 -> 0xFFFFFFFF, else the byte - 240
//   [2..3]  intersection data buffer length % 1024; 0: a size query first,
//           then the size it answered
//   [4..5]  range or format size % 1100; 0: its natural size (296, 152)
//   [6]     ranges in an edited intersection: 1 + byte % 3
//   [7]     walk: bit 0 submit a buffer in RUN, bit 1 pause and resume,
//           bit 2 let a frame period pass, bit 3 close from RUN
//   [8..]   modes 0 and 2: edits of 3 bytes (offset % block size, a byte
//           XORed in); modes 1 and 3: the raw bytes
#include <host/executive/HostKernel.h>
#include <host/ksmedia.h>
#include <host/verifier/Verifier.h>

#include "fuzz/FuzzCamera.h"
#include "fuzz/FuzzInput.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const ULONG kImageSize = 1280 * 720 * 2;
// Where the bitmap header lies in a format and in a range.
const size_t kFormatBitmapOffset = 112;
const size_t kRangeBitmapOffset = 256;
// Up to this bit count a 1280 x 720 image's size fits in 32 bits.
const USHORT kMaxSafeBitCount = 4096;
// Frame periods beyond this (a minute) are not waited for.
const LONGLONG kLongestWait = 600000000;

FuzzCamera* camera = nullptr;

void Check(bool condition, const std::string& what) {
    if (!condition) {
        FuzzCamera::Fail(what);
    }
}

// XORs the input's edits into `block` from byte `from` on.
void ApplyEdits(FuzzInput& in, std::vector<uint8_t>* block, size_t from) {
    if (block->size() <= from) {
        return;
    }
    const size_t span = block->size() - from;
    while (in.RestSize() >= 3) {
        const size_t offset = in.U16() % span;
        (*block)[from + offset] ^= in.Byte();
    }
}

// `base` resized to `size` bytes (zero beyond its end), FormatSize set to
// `size` when the block holds it.
std::vector<uint8_t> Sized(const std::vector<uint8_t>& base, ULONG size) {
    std::vector<uint8_t> block(base);
    block.resize(size, 0);
    if (size >= sizeof(ULONG)) {
        std::memcpy(block.data(), &size, sizeof size);
    }
    return block;
}

// An exact heap copy of `bytes`, so nothing past them is addressable.
std::unique_ptr<uint8_t[]> ExactCopy(const std::vector<uint8_t>& bytes) {
    std::unique_ptr<uint8_t[]> copy(new uint8_t[bytes.empty() ? 1 : bytes.size()]);
    if (!bytes.empty()) {
        std::memcpy(copy.get(), bytes.data(), bytes.size());
    }
    return copy;
}

void Intersect(std::vector<uint8_t> request, ULONG bufferLength) {
    std::unique_ptr<uint8_t[]> input = ExactCopy(request);
    const ULONG inputLength = static_cast<ULONG>(request.size());
    ULONG returned = 0;
    if (bufferLength == 0) {
        const NTSTATUS query =
            camera->Filter()->Ioctl(input.get(), inputLength, nullptr, 0, &returned);
        if (query != STATUS_BUFFER_OVERFLOW) {
            return;
        }
        Check(returned != 0 && returned < (1u << 20), "a size query answered an absurd size");
        bufferLength = returned;
    }
    std::unique_ptr<uint8_t[]> output(new uint8_t[bufferLength]);
    std::memset(output.get(), 0xA5, bufferLength);
    returned = 0;
    const NTSTATUS status =
        camera->Filter()->Ioctl(input.get(), inputLength, output.get(), bufferLength, &returned);
    if (!NT_SUCCESS(status)) {
        return;
    }
    Check(returned <= bufferLength, "an intersection answered beyond its buffer");
    Check(returned >= sizeof(KSDATAFORMAT), "an intersection answered less than a KSDATAFORMAT");
    KSDATAFORMAT answer;
    std::memcpy(&answer, output.get(), sizeof answer);
    Check(answer.FormatSize == returned, "an intersection's FormatSize differs from its size");

    // The answer is the caller's video info behind the pin's KSDATAFORMAT.
    // The pin takes it when its bitmap matches the pin's range in width,
    // height and compression (a different size, as for 640 x 480, is
    // answered and then refused) and the image size cannot have wrapped.
    KS_BITMAPINFOHEADER bitmap;
    std::memcpy(&bitmap, output.get() + kFormatBitmapOffset, sizeof bitmap);
    KS_BITMAPINFOHEADER own;
    std::memcpy(&own, camera->Range().data() + kRangeBitmapOffset, sizeof own);
    std::unique_ptr<host::PinHandle> pin;
    const NTSTATUS created = camera->Filter()->CreatePin(0, output.get(), returned, &pin);
    const bool matches = bitmap.biWidth == own.biWidth && bitmap.biHeight == own.biHeight &&
                         bitmap.biCompression == own.biCompression;
    if (matches && bitmap.biBitCount <= kMaxSafeBitCount) {
        Check(created == STATUS_SUCCESS,
              "the pin refused a matching format its own intersection answered: " +
                  std::to_string(static_cast<unsigned>(created)));
    } else if (!matches) {
        Check(created == STATUS_NO_MATCH, "the pin took a format that does not match its range");
    }
    pin.reset();
}

// A created pin, walked up and down as the input asks.
void Walk(host::PinHandle* pin, uint8_t walk) {
    struct Buffer {
        std::unique_ptr<uint8_t[]> memory;
        uint64_t ticket;
        bool back;
    };
    std::vector<Buffer> buffers;
    const auto* format =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(pin->KsPin()->ConnectionFormat);
    const LONGLONG period = format->VideoInfoHeader.AvgTimePerFrame;

    bool running = pin->SetState(KSSTATE_ACQUIRE) == STATUS_SUCCESS &&
                   pin->SetState(KSSTATE_PAUSE) == STATUS_SUCCESS &&
                   pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS;
    if (running && (walk & 1) != 0) {
        Buffer buffer{std::unique_ptr<uint8_t[]>(new uint8_t[kImageSize]), 0, false};
        std::memset(buffer.memory.get(), 0x5A, kImageSize);
        if (pin->Submit(buffer.memory.get(), kImageSize, &buffer.ticket) == STATUS_SUCCESS) {
            buffers.push_back(std::move(buffer));
        }
    }
    if (running && (walk & 2) != 0) {
        pin->SetState(KSSTATE_PAUSE);
        pin->SetState(KSSTATE_RUN);
    }
    if ((walk & 4) != 0 && period > 0) {
        host::HostKernel::AdvanceBy(period < kLongestWait ? period : kLongestWait);
    }
    if ((walk & 8) == 0) {
        pin->SetState(KSSTATE_STOP);
    }
    Check(pin->Close() == STATUS_SUCCESS, "a pin did not close");

    host::CompletedFrame frame;
    while (pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
        bool known = false;
        for (Buffer& buffer : buffers) {
            if (buffer.ticket == frame.ticket && !buffer.back) {
                buffer.back = known = true;
                Check(frame.header.DataUsed <= kImageSize, "DataUsed beyond the buffer");
            }
        }
        Check(known, "a buffer came back twice or was never submitted");
    }
    for (const Buffer& buffer : buffers) {
        Check(buffer.back, "a submitted buffer never came back");
    }
}

void CreateAndWalk(ULONG pinId, const std::vector<uint8_t>& format, uint8_t walk) {
    std::unique_ptr<uint8_t[]> bytes = ExactCopy(format);
    std::unique_ptr<host::PinHandle> pin;
    const NTSTATUS status = camera->Filter()->CreatePin(
        pinId, format.empty() ? nullptr : bytes.get(), static_cast<ULONG>(format.size()), &pin);
    if (status == STATUS_SUCCESS) {
        Walk(pin.get(), walk);
    }
}

std::vector<uint8_t> Seed(uint8_t mode, uint16_t bufferLength, uint16_t blockSize, uint8_t ranges,
                          uint8_t walk, const std::vector<uint8_t>& tail) {
    std::vector<uint8_t> seed = {mode,
                                 0,
                                 static_cast<uint8_t>(bufferLength),
                                 static_cast<uint8_t>(bufferLength >> 8),
                                 static_cast<uint8_t>(blockSize),
                                 static_cast<uint8_t>(blockSize >> 8),
                                 ranges,
                                 walk};
    seed.insert(seed.end(), tail.begin(), tail.end());
    return seed;
}

// Edits that turn the negotiated format's AvgTimePerFrame into `period`.
std::vector<uint8_t> PeriodEdits(LONGLONG period) {
    const size_t offset = kFormatBitmapOffset - sizeof(LONGLONG);  // AvgTimePerFrame
    std::vector<uint8_t> edits;
    for (size_t i = 0; i < sizeof(LONGLONG); ++i) {
        const uint8_t now = camera->Format()[offset + i];
        const uint8_t wanted = static_cast<uint8_t>(static_cast<ULONGLONG>(period) >> (8 * i));
        edits.push_back(static_cast<uint8_t>(offset + i));
        edits.push_back(static_cast<uint8_t>((offset + i) >> 8));
        edits.push_back(static_cast<uint8_t>(now ^ wanted));
    }
    return edits;
}

void WriteSeeds(const char* directory) {
    // The pin's own range intersected, as a capture application asks: a
    // size query, then the format; and with the buffer of exactly that size.
    FuzzCamera::WriteSeed(directory, "intersection-query", Seed(0, 0, 0, 0, 0, {}));
    FuzzCamera::WriteSeed(directory, "intersection",
                          Seed(0, static_cast<uint16_t>(camera->Format().size()), 0, 0, 0, {}));
    FuzzCamera::WriteSeed(directory, "intersection-two-ranges", Seed(0, 0, 0, 1, 0, {}));
    // The same request as raw bytes behind the KSP_PIN.
    std::vector<std::vector<uint8_t>> ranges = {camera->Range()};
    std::vector<uint8_t> request = host::FilterHandle::IntersectionRequest(0, ranges);
    FuzzCamera::WriteSeed(
        directory, "intersection-raw",
        Seed(1, 0, 0, 0, 0,
             std::vector<uint8_t>(request.begin() + sizeof(KSP_PIN), request.end())));
    // The negotiated format: created and streamed one frame, then stopped.
    FuzzCamera::WriteSeed(directory, "create-negotiated", Seed(2, 0, 0, 0, 0x7, {}));
    FuzzCamera::WriteSeed(directory, "create-negotiated-close-running", Seed(2, 0, 0, 0, 0xD, {}));
    FuzzCamera::WriteSeed(directory, "create-raw", Seed(3, 0, 0, 0, 0x5, camera->Format()));
    // The negotiated format with the shortest frame period and with one so
    // long that the schedule's due times would overflow 64 bits.
    FuzzCamera::WriteSeed(directory, "create-period-one", Seed(2, 0, 0, 0, 0x7, PeriodEdits(1)));
    FuzzCamera::WriteSeed(directory, "create-period-overlong",
                          Seed(2, 0, 0, 0, 0x7, PeriodEdits(0x7FFFFFFFFFFFFFFFll)));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camera = &FuzzCamera::Open("PinCreationFuzzer", false);
    camera->WriteSeedsIfAsked(WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t mode = in.Byte() % 4;
    const uint8_t pinByte = in.Byte();
    const ULONG pinId = pinByte < 240 ? 0 : (pinByte == 255 ? 0xFFFFFFFFu : pinByte - 240u);
    const ULONG bufferLength = in.U16() % 1024u;
    const ULONG blockSize = in.U16() % 1100u;
    const uint8_t rangeCount = 1 + in.Byte() % 3;
    const uint8_t walk = in.Byte();

    switch (mode) {
        case 0: {
            const std::vector<uint8_t> range =
                Sized(camera->Range(), blockSize == 0 ? camera->Range().size() : blockSize);
            std::vector<std::vector<uint8_t>> ranges(rangeCount, range);
            std::vector<uint8_t> request = host::FilterHandle::IntersectionRequest(pinId, ranges);
            // Edits reach everything behind the property: the pin id, the
            // KSMULTIPLE_ITEM and the ranges.
            ApplyEdits(in, &request, sizeof(KSPROPERTY));
            Intersect(request, bufferLength);
            break;
        }
        case 1: {
            std::vector<uint8_t> request = host::FilterHandle::IntersectionRequest(pinId, {});
            request.resize(sizeof(KSP_PIN));
            const std::vector<uint8_t> raw = in.RestBytes();
            request.insert(request.end(), raw.begin(), raw.end());
            Intersect(request, bufferLength);
            break;
        }
        case 2: {
            std::vector<uint8_t> format =
                Sized(camera->Format(), blockSize == 0 ? camera->Format().size() : blockSize);
            ApplyEdits(in, &format, 0);
            CreateAndWalk(pinId, format, walk);
            break;
        }
        default:
            CreateAndWalk(pinId, in.RestBytes(), walk);
            break;
    }
    // No pin is left open between inputs: every block the input made is back.
    if (host::Verifier::OutstandingBlocks() != camera->BaselineBlocks()) {
        FuzzCamera::Fail("pool blocks left after the input: " +
                         host::Verifier::DescribeBlocks(host::Verifier::OutstandingList()));
    }
    camera->EndInput();
    return 0;
}
