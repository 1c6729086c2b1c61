// libFuzzer target: frame pushes of any length and content while the capture
// pin streams on the virtual clock, with capture buffers of any size queued
// behind them. Each input pushes, submits a buffer, lets one or more frame
// periods pass and reclaims what came back.
//
// The pushed frame and every capture buffer are heap blocks of exactly their
// lengths, so AddressSanitizer reports a conversion that reads past the push
// or a fill that writes past the buffer. Beyond the verifier, each input
// checks that
//  - every push succeeds, whatever its length;
//  - every buffer comes back exactly once, with no more DataUsed than its
//    size, and with nothing written past the whole rows of the image that
//    fit in it (those bytes keep the pattern they were submitted with);
//  - a buffer of one image filled after an I420 push holds exactly that
//    push converted to YUY2 (Y0 U Y1 V per pixel pair, chroma of row r / 2);
//  - at KSSTATE_STOP every buffer still out comes back.
//
// Input layout (FuzzInput: little endian, missing bytes read as 0):
//   [0]      push length: %8 -> the rest's length, I420 size + step, YUY2
//            image size + step, RGB24 size + step, number % 3 MiB, 0,
//            number % 4096, RGB24 size + number % 65536
//   [1]      step (signed)
//   [2..5]   number
//   [6]      buffer: %6 -> one image, an image less 1 + n % 4096, an image
//            plus n % 4096, n bytes, no memory (null) of n bytes, none
//   [7..8]   n
//   [9]      header: %3 -> the pin's size, a bare KSSTREAM_HEADER, a bare
//            header plus the next byte
//   [10]     extra header bytes
//   [11]     control: bit 0 pause and resume before the periods pass, bits 1
//            and 3 both set: stop and run again at the end, bit 2 push
//            twice, bits 4-5 frame periods to pass less one
//   [12..]   the frame's content (repeated to its length)
#include <host/executive/HostKernel.h>

#include "driver/injection/FrameInjection.h"
#include "fuzz/FuzzCamera.h"
#include "fuzz/FuzzInput.h"

#include <cstdint>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

const ULONG kWidth = 1280;
const ULONG kHeight = 720;
const ULONG kLineBytes = kWidth * 2;
const ULONG kImageSize = kWidth * kHeight * 2;
const ULONG kI420Size = kWidth * kHeight * 3 / 2;
const ULONG kRgbSize = kWidth * kHeight * 3;
const uint8_t kPattern = 0xA5;
const size_t kMaxOutstanding = 6;

FuzzCamera* camera = nullptr;

// A capture buffer submitted and not yet back.
struct Outstanding {
    std::unique_ptr<uint8_t[]> memory;  // null for a buffer without memory
    ULONG size;
    uint64_t ticket;
    bool thisInput;  // submitted by the input being run
};
std::deque<Outstanding> outstanding;

void Check(bool condition, const std::string& what) {
    if (!condition) {
        FuzzCamera::Fail(what);
    }
}

// The checks below walk whole images; they are the harness's own and carry
// no coverage feedback, so their comparisons cost no tracing per byte.
#define VCAM_NO_COVERAGE __attribute__((no_sanitize("coverage")))

// The YUY2 image an I420 push of 1280 x 720 becomes.
VCAM_NO_COVERAGE bool IsI420Image(const uint8_t* image, const uint8_t* push) {
    const uint8_t* y = push;
    const uint8_t* u = push + kWidth * kHeight;
    const uint8_t* v = push + kWidth * kHeight * 5 / 4;
    for (ULONG row = 0; row < kHeight; ++row) {
        const uint8_t* out = image + row * kLineBytes;
        const uint8_t* luma = y + row * kWidth;
        const uint8_t* cu = u + (row / 2) * (kWidth / 2);
        const uint8_t* cv = v + (row / 2) * (kWidth / 2);
        for (ULONG k = 0; k < kWidth / 2; ++k) {
            if (out[4 * k] != luma[2 * k] || out[4 * k + 1] != cu[k] ||
                out[4 * k + 2] != luma[2 * k + 1] || out[4 * k + 3] != cv[k]) {
                return false;
            }
        }
    }
    return true;
}

// The first byte at or after `from` and before `size` that lost the
// submitted pattern, or `size`.
VCAM_NO_COVERAGE ULONG FirstWritten(const uint8_t* memory, ULONG from, ULONG size) {
    for (ULONG i = from; i < size; ++i) {
        if (memory[i] != kPattern) {
            return i;
        }
    }
    return size;
}

// Takes every buffer that came back. `i420Push` is this input's accepted
// I420 push, or null.
void Reclaim(const uint8_t* i420Push) {
    host::PinHandle* pin = camera->Pin();
    host::CompletedFrame frame;
    while (pin->TakeCompleted(&frame) == STATUS_SUCCESS) {
        auto it = outstanding.begin();
        while (it != outstanding.end() && it->ticket != frame.ticket) {
            ++it;
        }
        Check(it != outstanding.end(), "a buffer came back twice or was never submitted");
        Check(frame.status == STATUS_SUCCESS || frame.status == STATUS_CANCELLED,
              "a buffer came back with an unexpected status");
        Check(frame.header.DataUsed <= it->size, "DataUsed beyond the buffer");
        if (it->memory != nullptr) {
            const bool filled = frame.header.DataUsed != 0;
            // Whole rows of the image that fit, written only when filled.
            const ULONG rows = it->size / kLineBytes < kHeight ? it->size / kLineBytes : kHeight;
            const ULONG written = filled ? rows * kLineBytes : 0;
            const ULONG first = FirstWritten(it->memory.get(), written, it->size);
            Check(first == it->size, "byte " + std::to_string(first) + " of a buffer of " +
                                         std::to_string(it->size) + " was written (" +
                                         std::to_string(written) + " may be)");
            if (filled && i420Push != nullptr && it->thisInput && it->size == kImageSize) {
                Check(IsI420Image(it->memory.get(), i420Push),
                      "a filled buffer differs from the I420 push converted");
            }
        }
        outstanding.erase(it);
    }
}

// Stops the pin (everything comes back) and runs it again.
void Restart() {
    host::PinHandle* pin = camera->Pin();
    Check(pin->SetState(KSSTATE_STOP) == STATUS_SUCCESS, "the pin did not stop");
    Reclaim(nullptr);
    Check(outstanding.empty(), "buffers still out after KSSTATE_STOP");
    Check(pin->SetState(KSSTATE_RUN) == STATUS_SUCCESS, "the pin did not run again");
}

void Push(const uint8_t* frame, ULONG length) {
    const NTSTATUS status =
        camera->Filter()->SetProperty(FrameInjectionSetId, VCAM_PROPERTY_FRAME, frame, length);
    Check(status == STATUS_SUCCESS, "a push of " + std::to_string(length) + " bytes was refused");
}

std::vector<uint8_t> Seed(uint8_t lengthMode, uint8_t step, uint32_t number, uint8_t bufferMode,
                          uint16_t n, uint8_t headerMode, uint8_t control,
                          const std::vector<uint8_t>& content) {
    std::vector<uint8_t> seed = {lengthMode,
                                 step,
                                 static_cast<uint8_t>(number),
                                 static_cast<uint8_t>(number >> 8),
                                 static_cast<uint8_t>(number >> 16),
                                 static_cast<uint8_t>(number >> 24),
                                 bufferMode,
                                 static_cast<uint8_t>(n),
                                 static_cast<uint8_t>(n >> 8),
                                 headerMode,
                                 0,
                                 control};
    seed.insert(seed.end(), content.begin(), content.end());
    return seed;
}

void WriteSeeds(const char* directory) {
    // A valid I420 push (grey ramp) into one image-sized buffer, one period.
    std::vector<uint8_t> ramp;
    for (int i = 0; i < 251; ++i) {
        ramp.push_back(static_cast<uint8_t>(i));
    }
    FuzzCamera::WriteSeed(directory, "push-i420", Seed(1, 0, 0, 0, 0, 0, 0, ramp));
    // A valid RGB24 push.
    FuzzCamera::WriteSeed(directory, "push-rgb24", Seed(3, 0, 0, 0, 0, 0, 0, {0x20, 0x80, 0xE0}));
    // Pause and resume, then stop and run again.
    FuzzCamera::WriteSeed(directory, "push-pause-stop", Seed(1, 0, 0, 0, 0, 0, 0x0B, ramp));
    // A push one byte short of the I420 planes, into a buffer one row short.
    FuzzCamera::WriteSeed(directory, "push-short", Seed(1, 0xFF, 0, 1, kLineBytes - 1, 0, 0, ramp));
    // A small buffer with a bare stream header.
    FuzzCamera::WriteSeed(directory, "small-buffer", Seed(6, 0, 100, 3, 4000, 1, 0x10, {}));
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camera = &FuzzCamera::Open("PushFuzzer", true);
    camera->WriteSeedsIfAsked(WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const uint8_t lengthMode = in.Byte() % 8;
    const int8_t step = static_cast<int8_t>(in.Byte());
    const uint32_t number = in.U32();
    const uint8_t bufferMode = in.Byte() % 6;
    const uint16_t n = in.U16();
    const uint8_t headerMode = in.Byte() % 3;
    const uint8_t headerExtra = in.Byte();
    const uint8_t control = in.Byte();

    ULONG length = 0;
    switch (lengthMode) {
        case 0:
            length = static_cast<ULONG>(in.RestSize());
            break;
        case 1:
            length = kI420Size + step;
            break;
        case 2:
            length = kImageSize + step;
            break;
        case 3:
            length = kRgbSize + step;
            break;
        case 4:
            length = number % (3u << 20);
            break;
        case 5:
            length = 0;
            break;
        case 6:
            length = number % 4096;
            break;
        default:
            length = kRgbSize + number % 65536;
            break;
    }

    for (Outstanding& buffer : outstanding) {
        buffer.thisInput = false;
    }
    std::unique_ptr<uint8_t[]> frame(new uint8_t[length == 0 ? 1 : length]);
    in.FillCyclic(frame.get(), length);
    Push(length == 0 ? nullptr : frame.get(), length);
    if ((control & 4) != 0) {
        Push(length == 0 ? nullptr : frame.get(), length);
    }
    // The stream is 1280 x 720 YUY2: such a push is taken as I420 whole.
    const uint8_t* i420 = length >= kI420Size && length < kRgbSize ? frame.get() : nullptr;

    if (bufferMode != 5) {
        Outstanding buffer;
        buffer.thisInput = true;
        switch (bufferMode) {
            case 0:
                buffer.size = kImageSize;
                break;
            case 1:
                buffer.size = kImageSize - 1 - n % 4096;
                break;
            case 2:
                buffer.size = kImageSize + n % 4096;
                break;
            default:
                buffer.size = n;
                break;
        }
        if (bufferMode != 4) {
            buffer.memory.reset(new uint8_t[buffer.size == 0 ? 1 : buffer.size]);
            std::memset(buffer.memory.get(), kPattern, buffer.size);
        }
        host::PinHandle* pin = camera->Pin();
        NTSTATUS status;
        if (headerMode == 0) {
            status = pin->Submit(buffer.memory.get(), buffer.size, &buffer.ticket);
        } else {
            const ULONG header = sizeof(KSSTREAM_HEADER) + (headerMode == 2 ? headerExtra : 0u);
            status =
                pin->SubmitWithHeaderSize(buffer.memory.get(), buffer.size, header, &buffer.ticket);
        }
        Check(status == STATUS_SUCCESS, "a running pin refused a buffer");
        outstanding.push_back(std::move(buffer));
    }

    if ((control & 1) != 0) {
        Check(camera->Pin()->SetState(KSSTATE_PAUSE) == STATUS_SUCCESS, "the pin did not pause");
        Check(camera->Pin()->SetState(KSSTATE_RUN) == STATUS_SUCCESS, "the pin did not resume");
    }
    const int periods = 1 + ((control >> 4) & 3);
    host::HostKernel::AdvanceBy(camera->FramePeriod() * periods);
    Reclaim(i420);

    if ((control & 0x0A) == 0x0A || outstanding.size() > kMaxOutstanding) {
        Restart();
    }
    camera->EndInput();
    return 0;
}
