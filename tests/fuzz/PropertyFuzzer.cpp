// libFuzzer target: property requests on the capture filter, as any program
// holding a filter handle can send them: any set (mostly the frame injection
// set and the pin set), any id, flags, input and output lengths and bytes,
// sent through FilterHandle::Ioctl while a capture pin streams, so a set of
// the frame property really reaches the running engine.
//
// The input and output buffers are heap blocks of exactly the lengths the
// request names (and the class library's system buffers are too), so
// AddressSanitizer catches a read or write past either.
//
// Input layout (FuzzInput: little endian, missing bytes read as 0):
//   [0]  set: %8 -> 0-2 frame injection, 3-4 KSPROPSETID_Pin, 5 a category
//        GUID that is no property set, 6-7 the 16 bytes that follow
//   [1]  id: below 0xE0 the low 5 bits, else the next 4 bytes
//   [2]  flags: %16 below 12 picks a common combination, else the next 4 bytes
//   [3]  input length: %4 -> 24 (KSPROPERTY), 32 (KSP_PIN), 24 + next u16 %
//        2048, next u16 % 24 (shorter than a KSPROPERTY)
//   [4]  output length: %8 -> 0, 4, next u16 % 4096, a frame-sized length
//        (next byte picks the size, the byte after it a signed step), next
//        u32 % 4 MiB, 3, a null buffer with next byte as its length, 8
//   [5]  pin id for a KSP_PIN: below 200 -> 0, else the byte - 200
//   rest: the bytes behind the KSPROPERTY in the input, and the output
//        buffer's content (each the rest repeated)
#include <host/ksmedia.h>

#include "driver/injection/FrameInjection.h"
#include "fuzz/FuzzCamera.h"
#include "fuzz/FuzzInput.h"

#include <cstdint>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

namespace {

const ULONG kWidth = 1280;
const ULONG kHeight = 720;
const ULONG kFrameSizes[] = {kWidth * kHeight * 3 / 2, kWidth* kHeight * 2, kWidth* kHeight * 3,
                             kWidth* kHeight * 3 / 2 - 1, kWidth* kHeight * 3 - 1};
const ULONG kFlags[] = {
    KSPROPERTY_TYPE_GET,
    KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET,
    0,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_BASICSUPPORT,
    KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
    0x00000100,                        // KSPROPERTY_TYPE_SETSUPPORT
    0x10000000 | KSPROPERTY_TYPE_GET,  // KSPROPERTY_TYPE_TOPOLOGY
    0x80000000 | KSPROPERTY_TYPE_SET,
    KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET | KSPROPERTY_TYPE_BASICSUPPORT,
    0x00000004,
};

FuzzCamera* camera = nullptr;

struct Request {
    GUID set;
    bool frameSet;
    ULONG id;
    ULONG flags;
    ULONG inputLength;
    ULONG outputLength;
    bool nullOutput;
    ULONG pinId;
};

Request Decode(FuzzInput& in) {
    Request r{};
    const uint8_t setChoice = in.Byte() % 8;
    const uint8_t idByte = in.Byte();
    const uint8_t flagByte = in.Byte();
    const uint8_t inputMode = in.Byte() % 4;
    const uint8_t outputMode = in.Byte() % 8;
    const uint8_t pinByte = in.Byte();

    if (setChoice <= 2) {
        r.set = FrameInjectionSetId;
    } else if (setChoice <= 4) {
        r.set = VCAM_GUID(STATIC_KSPROPSETID_Pin);
    } else if (setChoice == 5) {
        r.set = VCAM_GUID(STATIC_KSCATEGORY_VIDEO);
    } else {
        uint8_t bytes[sizeof(GUID)];
        for (uint8_t& byte : bytes) {
            byte = in.Byte();
        }
        std::memcpy(&r.set, bytes, sizeof bytes);
    }
    r.frameSet = r.set == FrameInjectionSetId;
    r.id = idByte < 0xE0 ? (idByte & 0x1F) : in.U32();
    r.flags = (flagByte % 16) < 12 ? kFlags[flagByte % 16] : in.U32();

    switch (inputMode) {
        case 0:
            r.inputLength = sizeof(KSPROPERTY);
            break;
        case 1:
            r.inputLength = sizeof(KSP_PIN);
            break;
        case 2:
            r.inputLength = sizeof(KSPROPERTY) + in.U16() % 2048;
            break;
        default:
            r.inputLength = in.U16() % sizeof(KSPROPERTY);
            break;
    }
    switch (outputMode) {
        case 0:
            r.outputLength = 0;
            break;
        case 1:
            r.outputLength = 4;
            break;
        case 2:
            r.outputLength = in.U16() % 4096;
            break;
        case 3: {
            const ULONG size =
                kFrameSizes[in.Byte() % (sizeof kFrameSizes / sizeof kFrameSizes[0])];
            r.outputLength = size + static_cast<int8_t>(in.Byte());
            break;
        }
        case 4:
            r.outputLength = in.U32() % (4u << 20);
            break;
        case 5:
            r.outputLength = 3;
            break;
        case 6:
            r.nullOutput = true;
            r.outputLength = in.Byte();
            break;
        default:
            r.outputLength = 8;
            break;
    }
    r.pinId = pinByte < 200 ? 0 : pinByte - 200u;
    return r;
}

void Check(bool condition, const Request& r, NTSTATUS status, const char* what) {
    if (!condition) {
        char text[160];
        std::snprintf(text, sizeof text, "%s (id %u flags 0x%X in %u out %u status 0x%08X)", what,
                      r.id, r.flags, r.inputLength, r.outputLength, static_cast<unsigned>(status));
        FuzzCamera::Fail(text);
    }
}

std::vector<uint8_t> Seed(uint8_t set, uint8_t id, uint8_t flags, uint8_t inputMode,
                          uint8_t outputMode, std::vector<uint8_t> tail) {
    std::vector<uint8_t> seed = {set, id, flags, inputMode, outputMode, 0};
    seed.insert(seed.end(), tail.begin(), tail.end());
    return seed;
}

// The requests a frame source and a capture client really send.
void WriteSeeds(const char* directory) {
    // Signature get: frame set, id 0, GET, a KSPROPERTY, 4 bytes.
    FuzzCamera::WriteSeed(directory, "signature-get", Seed(0, 0, 0, 0, 1, {}));
    // Signature get with a short buffer and with a size query.
    FuzzCamera::WriteSeed(directory, "signature-short", Seed(0, 0, 0, 0, 5, {}));
    FuzzCamera::WriteSeed(directory, "signature-size", Seed(0, 0, 0, 0, 0, {}));
    // One I420 frame pushed: SET, output of kFrameSizes[0] exactly, grey.
    FuzzCamera::WriteSeed(directory, "push-i420", Seed(0, 0, 1, 0, 3, {0, 0, 0x80}));
    // One RGB24 frame pushed.
    FuzzCamera::WriteSeed(directory, "push-rgb24", Seed(0, 0, 1, 0, 3, {2, 0, 0x40, 0x80, 0xC0}));
    // An empty push.
    FuzzCamera::WriteSeed(directory, "push-empty", Seed(0, 0, 1, 0, 0, {}));
    // Pin set: the factory count, the instances and the data ranges.
    FuzzCamera::WriteSeed(directory, "pin-ctypes", Seed(3, KSPROPERTY_PIN_CTYPES, 0, 0, 1, {}));
    FuzzCamera::WriteSeed(directory, "pin-cinstances",
                          Seed(3, KSPROPERTY_PIN_CINSTANCES, 0, 1, 7, {}));
    FuzzCamera::WriteSeed(directory, "pin-dataranges-size",
                          Seed(3, KSPROPERTY_PIN_DATARANGES, 0, 1, 0, {}));
    std::vector<uint8_t> dataranges = Seed(3, KSPROPERTY_PIN_DATARANGES, 0, 1, 2, {});
    dataranges.push_back(static_cast<uint8_t>(camera->Range().size() + 8));
    dataranges.push_back(static_cast<uint8_t>((camera->Range().size() + 8) >> 8));
    FuzzCamera::WriteSeed(directory, "pin-dataranges", dataranges);
    // A data intersection of the pin's own range: input 24 + (8 + KSMULTIPLE_ITEM + range).
    std::vector<std::vector<uint8_t>> ranges = {camera->Range()};
    std::vector<uint8_t> request = host::FilterHandle::IntersectionRequest(0, ranges);
    const size_t behind = request.size() - sizeof(KSPROPERTY);
    std::vector<uint8_t> intersection = {3, KSPROPERTY_PIN_DATAINTERSECTION, 0, 2, 2, 0};
    intersection.push_back(static_cast<uint8_t>(behind));
    intersection.push_back(static_cast<uint8_t>(behind >> 8));
    intersection.push_back(static_cast<uint8_t>(camera->Format().size()));
    intersection.push_back(static_cast<uint8_t>(camera->Format().size() >> 8));
    intersection.insert(intersection.end(), request.begin() + sizeof(KSPROPERTY), request.end());
    FuzzCamera::WriteSeed(directory, "pin-intersection", intersection);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    camera = &FuzzCamera::Open("PropertyFuzzer", true);
    camera->WriteSeedsIfAsked(WriteSeeds);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const Request r = Decode(in);

    std::unique_ptr<uint8_t[]> input(new uint8_t[r.inputLength == 0 ? 1 : r.inputLength]);
    uint8_t* const inputBytes = r.inputLength == 0 ? nullptr : input.get();
    if (r.inputLength > sizeof(KSPROPERTY)) {
        in.FillCyclic(input.get() + sizeof(KSPROPERTY), r.inputLength - sizeof(KSPROPERTY));
    }
    if (r.inputLength >= sizeof(KSP_PIN)) {
        std::memcpy(input.get() + sizeof(KSPROPERTY), &r.pinId, sizeof(ULONG));
    }
    KSPROPERTY property;
    property.Set = r.set;
    property.Id = r.id;
    property.Flags = r.flags;
    std::memcpy(input.get(), &property,
                r.inputLength < sizeof property ? r.inputLength : sizeof property);

    std::unique_ptr<uint8_t[]> output;
    if (!r.nullOutput && r.outputLength != 0) {
        output.reset(new uint8_t[r.outputLength]);
        in.FillCyclic(output.get(), r.outputLength);
    }

    ULONG returned = 0xFFFFFFFF;
    const NTSTATUS status =
        camera->Filter()->Ioctl(inputBytes, r.inputLength, output.get(), r.outputLength, &returned);

    Check(status != STATUS_PENDING, r, status, "a property request pended");
    const ULONG operation = r.flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    const bool support = (r.flags & KSPROPERTY_TYPE_BASICSUPPORT) != 0;
    if (NT_SUCCESS(status) && operation == KSPROPERTY_TYPE_GET) {
        Check(returned <= r.outputLength, r, status, "a get answered more than its buffer holds");
    }
    if (r.frameSet && r.id == VCAM_PROPERTY_FRAME && !support &&
        r.inputLength >= sizeof(KSPROPERTY) && !(r.nullOutput && r.outputLength != 0)) {
        if (operation == KSPROPERTY_TYPE_SET) {
            // A push is never refused, whatever its length.
            Check(status == STATUS_SUCCESS, r, status, "a frame push was refused");
        } else if (operation == KSPROPERTY_TYPE_GET) {
            if (r.outputLength >= 4) {
                Check(status == STATUS_SUCCESS && returned == 4 && output[0] == 0x77 &&
                          output[1] == 0xAA && output[2] == 0x77 && output[3] == 0xAA,
                      r, status, "the signature get did not answer 77 AA 77 AA");
            } else {
                Check(!NT_SUCCESS(status), r, status, "a short signature get succeeded");
            }
        }
    }
    camera->EndInput();
    return 0;
}
