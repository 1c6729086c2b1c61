// The bytes a user-mode client sends to a kernel streaming filter and pin,
// and reads back, in the x64 layout, built and read without any platform
// header: the same code makes the requests vcam.exe hands to DeviceIoControl
// and KsCreatePin on Windows and the ones the tests hand to the host
// kernel's request entry points on Linux. Layouts (offsets in bytes):
//   KSPROPERTY       Set 0 (GUID), Id 16, Flags 20; 24 in all
//   KSP_PIN          KSPROPERTY, PinId 24, Reserved 28; 32
//   KSMULTIPLE_ITEM  Size 0 (header included), Count 4; items 8-aligned
//   KSPIN_CONNECT    Interface 0 (KSIDENTIFIER), Medium 24, PinId 48,
//                    PinToHandle 56, Priority 64 (class, subclass); 72, then
//                    the format
//   KSDATAFORMAT     FormatSize 0, Flags 4, SampleSize 8, Reserved 12,
//                    MajorFormat 16, SubFormat 32, Specifier 48; 64
//   KSSTREAM_HEADER  Size 0, TypeSpecificFlags 4, PresentationTime 8 (Time,
//                    Numerator 16, Denominator 20), Duration 24, FrameExtent
//                    32, DataUsed 36, Data 40, OptionsFlags 48; 56
//   KS_FRAME_INFO    ExtendedHeaderSize 0, dwFrameFlags 4, PictureNumber 8,
//                    DropCount 16, ...; 72
// Both machines are little-endian x86-64; values are copied as they lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vcam {

// A GUID as it lies in a request.
struct WireGuid {
    uint32_t data1;
    uint16_t data2;
    uint16_t data3;
    uint8_t data4[8];
    bool operator==(const WireGuid& other) const;
    bool operator!=(const WireGuid& other) const { return !(*this == other); }
    // "{CB043957-7B35-456E-9B61-5513930F4D8E}".
    std::string ToString() const;
};

// A completed stream header (and its KS_FRAME_INFO, when Size holds one).
struct WireFrameHeader {
    uint32_t size = 0;
    int64_t presentationTime = 0;
    uint32_t numerator = 0;
    uint32_t denominator = 0;
    int64_t duration = 0;
    uint32_t frameExtent = 0;
    uint32_t dataUsed = 0;
    uint64_t data = 0;  // the buffer's address as the header names it
    uint32_t optionsFlags = 0;
    bool hasFrameInfo = false;
    uint32_t extendedHeaderSize = 0;
    uint32_t frameFlags = 0;
    int64_t pictureNumber = 0;
    int64_t dropCount = 0;
};

// The fields of a video-info format (KS_DATAFORMAT_VIDEOINFOHEADER, 152
// bytes) or range (KS_DATARANGE_VIDEO, 296 bytes) that vcam looks at.
struct WireVideoFormat {
    uint32_t formatSize = 0;
    uint32_t sampleSize = 0;
    WireGuid majorFormat{};
    WireGuid subFormat{};
    WireGuid specifier{};
    int64_t avgTimePerFrame = 0;
    int32_t width = 0;
    int32_t height = 0;
    uint16_t bitCount = 0;
    uint32_t compression = 0;
    uint32_t sizeImage = 0;
    int64_t minFrameInterval = 0;  // ranges only
    int64_t maxFrameInterval = 0;  // ranges only
};

// The first framing item of a KSALLOCATOR_FRAMING_EX (112 bytes with one
// item): the reads to queue and the buffer size.
struct WireFraming {
    uint32_t countItems = 0;
    uint32_t frames = 0;        // FramingItem[0].Frames
    uint32_t maxFrameSize = 0;  // FramingItem[0].FramingRange.Range.MaxFrameSize
};

class KsWire {
  public:
    static constexpr uint32_t kPropertyGet = 0x1;
    static constexpr uint32_t kPropertySet = 0x2;
    static constexpr size_t kPropertySize = 24;
    static constexpr size_t kPinPropertySize = 32;
    static constexpr size_t kConnectSize = 72;
    static constexpr size_t kDataFormatSize = 64;
    static constexpr size_t kStreamHeaderSize = 56;
    static constexpr size_t kFrameInfoSize = 72;
    static constexpr size_t kVideoFormatSize = 152;
    static constexpr size_t kVideoRangeSize = 296;
    static constexpr size_t kFramingSize = 112;
    static constexpr uint32_t kOptionsTimeValid = 0x10;
    static constexpr uint32_t kOptionsDurationValid = 0x100;

    // KSPROPSETID_Pin ids.
    enum PinProperty : uint32_t {
        kPinInstances = 0,
        kPinFactoryCount = 1,
        kPinDataFlow = 2,
        kPinDataRanges = 3,
        kPinDataIntersection = 4,
        kPinCommunication = 7,
        kPinNecessaryInstances = 9,
        kPinCategory = 11,
        kPinName = 12,
    };
    // KSPROPSETID_Connection ids.
    static constexpr uint32_t kConnectionState = 0;
    static constexpr uint32_t kConnectionAllocatorFramingEx = 6;
    // The camera's frame injection property.
    static constexpr uint32_t kFrameProperty = 0;
    static constexpr uint32_t kSignature = 0xAA77AA77u;
    static constexpr uint32_t kFourccYuy2 = 0x32595559u;
    static constexpr uint32_t kDataFlowOut = 2;

    static const WireGuid kPinSet;
    static const WireGuid kConnectionSet;
    static const WireGuid kFrameInjectionSet;
    static const WireGuid kCategoryVideoCamera;
    static const WireGuid kPinNameVideoCapture;
    static const WireGuid kInterfaceStandard;  // KSINTERFACESETID_Standard
    static const WireGuid kMediumStandard;     // KSMEDIUMSETID_Standard
    static const WireGuid kMajorVideo;
    static const WireGuid kSubtypeYuy2;
    static const WireGuid kSpecifierVideoInfo;

    // A KSPROPERTY of (set, id) with `flags` (kPropertyGet, kPropertySet).
    static std::vector<uint8_t> Property(const WireGuid& set, uint32_t id, uint32_t flags);
    // A KSP_PIN get of KSPROPSETID_Pin `id` for pin factory `pinId`.
    static std::vector<uint8_t> PinGet(uint32_t pinId, uint32_t id);
    // KSP_PIN (DATAINTERSECTION), KSMULTIPLE_ITEM, then the ranges, each at
    // an 8-aligned offset.
    static std::vector<uint8_t> IntersectionRequest(
        uint32_t pinId, const std::vector<std::vector<uint8_t>>& ranges);
    // KSPIN_CONNECT for pin factory `pinId` (standard streaming interface,
    // standard any-instance medium, no peer, normal priority 1) followed by
    // `format`.
    static std::vector<uint8_t> PinConnect(uint32_t pinId, const std::vector<uint8_t>& format);
    // A capture read: KSSTREAM_HEADER + KS_FRAME_INFO (Size 128,
    // ExtendedHeaderSize 72) for `frameExtent` bytes at `data`, DataUsed 0,
    // time fraction 1/1.
    static std::vector<uint8_t> ReadHeader(void* data, uint32_t frameExtent);

    // A KSMULTIPLE_ITEM of ranges as each range's FormatSize bytes; false
    // when the answer is malformed (a count or size running past its end).
    static bool ParseRanges(const uint8_t* bytes, size_t length,
                            std::vector<std::vector<uint8_t>>* ranges);
    // Reads a completed header; false when shorter than a KSSTREAM_HEADER.
    static bool ParseFrameHeader(const uint8_t* bytes, size_t length, WireFrameHeader* header);
    // Reads a video-info format or range; false when too short for one.
    static bool ParseVideoFormat(const std::vector<uint8_t>& bytes, WireVideoFormat* format);
    static bool ParseVideoRange(const std::vector<uint8_t>& bytes, WireVideoFormat* range);
    // Reads a KSALLOCATOR_FRAMING_EX; false when shorter than one item.
    static bool ParseFraming(const uint8_t* bytes, size_t length, WireFraming* framing);
    static WireGuid GuidAt(const uint8_t* bytes);
};

}  // namespace vcam
