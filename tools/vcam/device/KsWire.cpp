#include "tools/vcam/device/KsWire.h"

#include <cstdio>
#include <cstring>

namespace vcam {

namespace {

// Offsets inside the video-info header (KS_VIDEOINFOHEADER): the frame
// interval and the bitmap header fields.
constexpr size_t kAvgTimePerFrame = 40;
constexpr size_t kBitmapWidth = 52;
constexpr size_t kBitmapHeight = 56;
constexpr size_t kBitmapBitCount = 62;
constexpr size_t kBitmapCompression = 64;
constexpr size_t kBitmapSizeImage = 68;
// Where the video-info header starts in a format and in a range (after the
// range's flags and its 128-byte KS_VIDEO_STREAM_CONFIG_CAPS at 80).
constexpr size_t kFormatVideoInfo = 64;
constexpr size_t kRangeVideoInfo = 208;
constexpr size_t kRangeMinFrameInterval = 80 + 104;
constexpr size_t kRangeMaxFrameInterval = 80 + 112;

template <typename T>
void Put(std::vector<uint8_t>& bytes, size_t at, T value) {
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

void PutGuid(std::vector<uint8_t>& bytes, size_t at, const WireGuid& guid) {
    Put(bytes, at, guid.data1);
    Put(bytes, at + 4, guid.data2);
    Put(bytes, at + 6, guid.data3);
    std::memcpy(bytes.data() + at + 8, guid.data4, 8);
}

template <typename T>
T Get(const uint8_t* bytes, size_t at) {
    T value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
}

size_t AlignUp8(size_t value) {
    return (value + 7) & ~static_cast<size_t>(7);
}

void ReadFormatHead(const uint8_t* bytes, WireVideoFormat* format) {
    format->formatSize = Get<uint32_t>(bytes, 0);
    format->sampleSize = Get<uint32_t>(bytes, 8);
    format->majorFormat = KsWire::GuidAt(bytes + 16);
    format->subFormat = KsWire::GuidAt(bytes + 32);
    format->specifier = KsWire::GuidAt(bytes + 48);
}

void ReadVideoInfo(const uint8_t* info, WireVideoFormat* format) {
    format->avgTimePerFrame = Get<int64_t>(info, kAvgTimePerFrame);
    format->width = Get<int32_t>(info, kBitmapWidth);
    format->height = Get<int32_t>(info, kBitmapHeight);
    format->bitCount = Get<uint16_t>(info, kBitmapBitCount);
    format->compression = Get<uint32_t>(info, kBitmapCompression);
    format->sizeImage = Get<uint32_t>(info, kBitmapSizeImage);
}

}  // namespace

bool WireGuid::operator==(const WireGuid& other) const {
    return data1 == other.data1 && data2 == other.data2 && data3 == other.data3 &&
           std::memcmp(data4, other.data4, 8) == 0;
}

std::string WireGuid::ToString() const {
    char text[40];
    std::snprintf(text, sizeof text, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                  static_cast<unsigned>(data1), data2, data3, data4[0], data4[1], data4[2],
                  data4[3], data4[4], data4[5], data4[6], data4[7]);
    return text;
}

const WireGuid KsWire::kPinSet = {
    0x8C134960, 0x51AD, 0x11CF, {0x87, 0x8A, 0x94, 0xF8, 0x01, 0xC1, 0x00, 0x00}};
const WireGuid KsWire::kConnectionSet = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const WireGuid KsWire::kFrameInjectionSet = {
    0xCB043957, 0x7B35, 0x456E, {0x9B, 0x61, 0x55, 0x13, 0x93, 0x0F, 0x4D, 0x8E}};
const WireGuid KsWire::kCategoryVideoCamera = {
    0xE5323777, 0xF976, 0x4F5B, {0x9B, 0x55, 0xB9, 0x46, 0x99, 0xC4, 0x6E, 0x44}};
const WireGuid KsWire::kPinNameVideoCapture = {
    0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
const WireGuid KsWire::kInterfaceStandard = {
    0x1A8766A0, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const WireGuid KsWire::kMediumStandard = {
    0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
const WireGuid KsWire::kMajorVideo = {
    0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const WireGuid KsWire::kSubtypeYuy2 = {
    0x32595559, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
const WireGuid KsWire::kSpecifierVideoInfo = {
    0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};

WireGuid KsWire::GuidAt(const uint8_t* bytes) {
    WireGuid guid;
    guid.data1 = Get<uint32_t>(bytes, 0);
    guid.data2 = Get<uint16_t>(bytes, 4);
    guid.data3 = Get<uint16_t>(bytes, 6);
    std::memcpy(guid.data4, bytes + 8, 8);
    return guid;
}

std::vector<uint8_t> KsWire::Property(const WireGuid& set, uint32_t id, uint32_t flags) {
    std::vector<uint8_t> request(kPropertySize, 0);
    PutGuid(request, 0, set);
    Put(request, 16, id);
    Put(request, 20, flags);
    return request;
}

std::vector<uint8_t> KsWire::PinGet(uint32_t pinId, uint32_t id) {
    std::vector<uint8_t> request = Property(kPinSet, id, kPropertyGet);
    request.resize(kPinPropertySize, 0);
    Put(request, 24, pinId);
    return request;
}

std::vector<uint8_t> KsWire::IntersectionRequest(uint32_t pinId,
                                                 const std::vector<std::vector<uint8_t>>& ranges) {
    std::vector<uint8_t> request = PinGet(pinId, kPinDataIntersection);
    request.resize(kPinPropertySize + 8, 0);
    for (const auto& range : ranges) {
        const size_t at = request.size();
        request.resize(at + AlignUp8(range.size()), 0);
        std::memcpy(request.data() + at, range.data(), range.size());
    }
    Put(request, kPinPropertySize, static_cast<uint32_t>(request.size() - kPinPropertySize));
    Put(request, kPinPropertySize + 4, static_cast<uint32_t>(ranges.size()));
    return request;
}

std::vector<uint8_t> KsWire::PinConnect(uint32_t pinId, const std::vector<uint8_t>& format) {
    std::vector<uint8_t> connect(kConnectSize + format.size(), 0);
    PutGuid(connect, 0, kInterfaceStandard);  // Id 0: KSINTERFACE_STANDARD_STREAMING
    PutGuid(connect, 24, kMediumStandard);    // Id 0: KSMEDIUM_TYPE_ANYINSTANCE
    Put(connect, 48, pinId);
    Put(connect, 56, static_cast<uint64_t>(0));           // PinToHandle: no peer pin
    Put(connect, 64, static_cast<uint32_t>(0x40000000));  // KSPRIORITY_NORMAL
    Put(connect, 68, static_cast<uint32_t>(1));
    std::memcpy(connect.data() + kConnectSize, format.data(), format.size());
    return connect;
}

std::vector<uint8_t> KsWire::ReadHeader(void* data, uint32_t frameExtent) {
    std::vector<uint8_t> header(kStreamHeaderSize + kFrameInfoSize, 0);
    Put(header, 0, static_cast<uint32_t>(header.size()));
    Put(header, 16, static_cast<uint32_t>(1));  // PresentationTime.Numerator
    Put(header, 20, static_cast<uint32_t>(1));  // PresentationTime.Denominator
    Put(header, 32, frameExtent);
    Put(header, 40, reinterpret_cast<uint64_t>(data));
    Put(header, kStreamHeaderSize, static_cast<uint32_t>(kFrameInfoSize));
    return header;
}

bool KsWire::ParseRanges(const uint8_t* bytes, size_t length,
                         std::vector<std::vector<uint8_t>>* ranges) {
    ranges->clear();
    if (length < 8) return false;
    const uint32_t size = Get<uint32_t>(bytes, 0);
    const uint32_t count = Get<uint32_t>(bytes, 4);
    if (size < 8 || size > length) return false;
    size_t offset = 8;
    for (uint32_t i = 0; i < count; ++i) {
        if (offset + kDataFormatSize > size) return false;
        const uint32_t formatSize = Get<uint32_t>(bytes, offset);
        if (formatSize < kDataFormatSize || formatSize > size - offset) return false;
        ranges->emplace_back(bytes + offset, bytes + offset + formatSize);
        offset += AlignUp8(formatSize);
    }
    return true;
}

bool KsWire::ParseFrameHeader(const uint8_t* bytes, size_t length, WireFrameHeader* header) {
    *header = WireFrameHeader();
    if (length < kStreamHeaderSize) return false;
    header->size = Get<uint32_t>(bytes, 0);
    header->presentationTime = Get<int64_t>(bytes, 8);
    header->numerator = Get<uint32_t>(bytes, 16);
    header->denominator = Get<uint32_t>(bytes, 20);
    header->duration = Get<int64_t>(bytes, 24);
    header->frameExtent = Get<uint32_t>(bytes, 32);
    header->dataUsed = Get<uint32_t>(bytes, 36);
    header->data = Get<uint64_t>(bytes, 40);
    header->optionsFlags = Get<uint32_t>(bytes, 48);
    header->hasFrameInfo = header->size >= kStreamHeaderSize + kFrameInfoSize &&
                           length >= kStreamHeaderSize + kFrameInfoSize;
    if (header->hasFrameInfo) {
        const uint8_t* info = bytes + kStreamHeaderSize;
        header->extendedHeaderSize = Get<uint32_t>(info, 0);
        header->frameFlags = Get<uint32_t>(info, 4);
        header->pictureNumber = Get<int64_t>(info, 8);
        header->dropCount = Get<int64_t>(info, 16);
    }
    return true;
}

bool KsWire::ParseVideoFormat(const std::vector<uint8_t>& bytes, WireVideoFormat* format) {
    *format = WireVideoFormat();
    if (bytes.size() < kVideoFormatSize) return false;
    ReadFormatHead(bytes.data(), format);
    ReadVideoInfo(bytes.data() + kFormatVideoInfo, format);
    return true;
}

bool KsWire::ParseVideoRange(const std::vector<uint8_t>& bytes, WireVideoFormat* range) {
    *range = WireVideoFormat();
    if (bytes.size() < kVideoRangeSize) return false;
    ReadFormatHead(bytes.data(), range);
    ReadVideoInfo(bytes.data() + kRangeVideoInfo, range);
    range->minFrameInterval = Get<int64_t>(bytes.data(), kRangeMinFrameInterval);
    range->maxFrameInterval = Get<int64_t>(bytes.data(), kRangeMaxFrameInterval);
    return true;
}

bool KsWire::ParseFraming(const uint8_t* bytes, size_t length, WireFraming* framing) {
    *framing = WireFraming();
    if (length < kFramingSize) return false;
    // FramingItem[0] starts at 24; Frames at 44 in it, and the framing
    // range's MaxFrameSize at 72.
    framing->countItems = Get<uint32_t>(bytes, 0);
    framing->frames = Get<uint32_t>(bytes, 24 + 44);
    framing->maxFrameSize = Get<uint32_t>(bytes, 24 + 72);
    return true;
}

}  // namespace vcam
