#include "driver/pin/FormatNegotiation.h"

#include "driver/pin/VcamPin.h"

namespace {

// Places inside the platform's structures that the checks rely on. All size
// arithmetic below is unsigned 32-bit, as the structures' size fields are.
const ULONG kDataFormatSize = sizeof(KSDATAFORMAT);
const ULONG kRangeSize = sizeof(KS_DATARANGE_VIDEO);
const ULONG kFormatSize = sizeof(KS_DATAFORMAT_VIDEOINFOHEADER);
const ULONG kConfigCapsSize = sizeof(KS_VIDEO_STREAM_CONFIG_CAPS);
const ULONG kBitmapHeaderSize = sizeof(KS_BITMAPINFOHEADER);
// The video info fields ahead of bmiHeader: rectangles, bit rates, frame time.
const ULONG kInfoFieldsSize = FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
// Where bmiHeader starts in a format and in a range.
const ULONG kFormatBitmapOffset = FIELD_OFFSET(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) +
                                  FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);
const ULONG kRangeBitmapOffset =
    FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader) + FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader);

static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT starts every range and format");
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "range with a 40-byte bitmap header");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152, "format with a 40-byte header");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128, "ConfigCaps, padding included");
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40, "the fixed bitmap header");
static_assert(FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader) == 48, "fields ahead of bmiHeader");
static_assert(FIELD_OFFSET(KS_DATAFORMAT_VIDEOINFOHEADER, VideoInfoHeader) +
                      FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader) ==
                  112,
              "bmiHeader in a format");
static_assert(FIELD_OFFSET(KS_DATARANGE_VIDEO, VideoInfoHeader) +
                      FIELD_OFFSET(KS_VIDEOINFOHEADER, bmiHeader) ==
                  256,
              "bmiHeader in a range");

const GUID kSpecifierVideoInfo = VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);

// Any IRQL; no C runtime in the kernel, so GUIDs are compared bytewise.
inline bool SameGuid(const GUID& a, const GUID& b) {
    return RtlCompareMemory(&a, &b, sizeof(GUID)) == sizeof(GUID);
}

// |height| in unsigned 32-bit arithmetic (LONG_MIN gives 0x80000000).
inline ULONG AbsoluteHeight(LONG height) {
    return height < 0 ? 0u - static_cast<ULONG>(height) : static_cast<ULONG>(height);
}

}  // namespace

// PASSIVE_LEVEL, pageable; the class library, per paired range. The caller's
// range R holds exactly R.FormatSize readable bytes; the matched range M is
// the pin's own KS_DATARANGE_VIDEO. The first failing check decides.
VCAM_PAGE NTSTATUS IntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                                    PKSDATARANGE MatchingDataRange, ULONG DataBufferSize,
                                    PVOID Data, PULONG DataSize) {
    PAGED_CODE();
    (void)Context;
    (void)Irp;
    (void)Pin;

    // A range too short to hold its own KSDATAFORMAT has no Specifier to
    // compare; reading one would run past what the caller gave.
    if (DataRange->FormatSize < kDataFormatSize) {
        return STATUS_NO_MATCH;
    }
    if (!SameGuid(DataRange->Specifier, kSpecifierVideoInfo)) {
        return STATUS_NO_MATCH;
    }
    // Nothing past the KSDATAFORMAT is touched before this holds. The matched
    // range is the pin's own and always full size; checking it costs nothing
    // and keeps a foreign one from being read past its end.
    if (DataRange->FormatSize < kRangeSize || MatchingDataRange->FormatSize < kRangeSize) {
        return STATUS_NO_MATCH;
    }

    const KS_DATARANGE_VIDEO* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(DataRange);
    const KS_DATARANGE_VIDEO* matched =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(MatchingDataRange);

    if (caller->bFixedSizeSamples != matched->bFixedSizeSamples ||
        caller->bTemporalCompression != matched->bTemporalCompression ||
        caller->StreamDescriptionFlags != matched->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != matched->MemoryAllocationFlags) {
        return STATUS_NO_MATCH;
    }
    // Byte for byte, alignment padding included.
    if (RtlCompareMemory(&caller->ConfigCaps, &matched->ConfigCaps, kConfigCapsSize) !=
        kConfigCapsSize) {
        return STATUS_NO_MATCH;
    }

    // The answer carries the caller's bitmap header of biSize bytes, which
    // must lie inside the caller's range. A header shorter than the fixed
    // KS_BITMAPINFOHEADER is refused as well: the answer's width, height, bit
    // count and image size would otherwise lie beyond the `needed` bytes the
    // caller is told to provide.
    const ULONG headerSize = caller->VideoInfoHeader.bmiHeader.biSize;
    if (headerSize + kInfoFieldsSize < headerSize || headerSize + kRangeBitmapOffset < headerSize ||
        headerSize + kRangeBitmapOffset > DataRange->FormatSize || headerSize < kBitmapHeaderSize) {
        return STATUS_INVALID_PARAMETER;
    }

    // Cannot wrap: headerSize + 256 did not.
    const ULONG needed = headerSize + kFormatBitmapOffset;

    if (DataBufferSize == 0) {
        *DataSize = needed;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (DataBufferSize < needed) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    *DataSize = needed;

    PKS_DATAFORMAT_VIDEOINFOHEADER format = static_cast<PKS_DATAFORMAT_VIDEOINFOHEADER>(Data);
    RtlCopyMemory(&format->DataFormat, &matched->DataRange, kDataFormatSize);
    format->DataFormat.FormatSize = needed;
    RtlCopyMemory(&format->VideoInfoHeader, &caller->VideoInfoHeader, headerSize + kInfoFieldsSize);

    // Rows padded to whole 32-bit words; products and sums wrap at 2^32.
    KS_BITMAPINFOHEADER* bitmap = &format->VideoInfoHeader.bmiHeader;
    const ULONG rowBytes =
        ((static_cast<ULONG>(bitmap->biWidth) * static_cast<ULONG>(bitmap->biBitCount) + 31u) /
         32u) *
        4u;
    const ULONG imageBytes = rowBytes * AbsoluteHeight(bitmap->biHeight);
    format->DataFormat.SampleSize = imageBytes;
    bitmap->biSizeImage = imageBytes;
    return STATUS_SUCCESS;
}

// PASSIVE_LEVEL, pageable; the class library, before the pin's Create (no old
// format) and for each later change. F = Pin->ConnectionFormat, readable for
// exactly F.FormatSize bytes; M = the pin's own KS_DATARANGE_VIDEO. The first
// failing check decides; nothing is changed before every check has passed.
VCAM_PAGE NTSTATUS SetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat,
                                 PKSMULTIPLE_ITEM OldAttributeList, const KSDATARANGE* DataRange,
                                 const KSATTRIBUTE_LIST* AttributeRange) {
    PAGED_CODE();
    (void)OldAttributeList;
    (void)AttributeRange;

    const KSDATAFORMAT* proposed = Pin->ConnectionFormat;
    if (proposed->FormatSize < kDataFormatSize) {
        return STATUS_NO_MATCH;
    }
    if (!SameGuid(proposed->Specifier, kSpecifierVideoInfo)) {
        return STATUS_NO_MATCH;
    }
    if (proposed->FormatSize < kFormatSize || DataRange->FormatSize < kRangeSize) {
        return STATUS_NO_MATCH;
    }

    const KS_DATAFORMAT_VIDEOINFOHEADER* format =
        reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(proposed);
    const KS_BITMAPINFOHEADER& bitmap = format->VideoInfoHeader.bmiHeader;
    const KS_BITMAPINFOHEADER& rangeBitmap =
        reinterpret_cast<const KS_DATARANGE_VIDEO*>(DataRange)->VideoInfoHeader.bmiHeader;

    // The pin's copy takes biSize + 48 bytes from the format, so they must lie
    // inside it; and everyone who later reads the copy (the claim, the engine
    // start, the framing) reads the fixed 40-byte header, so a shorter one
    // would send them past the end of the copy.
    const ULONG headerSize = bitmap.biSize;
    if (headerSize + kInfoFieldsSize < headerSize ||
        headerSize + kFormatBitmapOffset < headerSize ||
        headerSize + kFormatBitmapOffset > proposed->FormatSize || headerSize < kBitmapHeaderSize) {
        return STATUS_INVALID_PARAMETER;
    }

    if (bitmap.biWidth != rangeBitmap.biWidth) {
        return STATUS_NO_MATCH;
    }
    // Exact: a top-down (negative) height never matches a bottom-up one.
    if (bitmap.biHeight != rangeBitmap.biHeight) {
        return STATUS_NO_MATCH;
    }
    if (bitmap.biCompression != rangeBitmap.biCompression) {
        return STATUS_NO_MATCH;
    }

    const ULONG width = static_cast<ULONG>(bitmap.biWidth);
    const ULONG height = AbsoluteHeight(bitmap.biHeight);
    const ULONG pixels = width * height;
    if (width != 0 && pixels / width != height) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG bytesPerPixel = static_cast<ULONG>(bitmap.biBitCount) / 8u;
    const ULONG bytes = pixels * bytesPerPixel;
    if (pixels != 0 && bytes / pixels != bytesPerPixel) {
        return STATUS_INVALID_PARAMETER;
    }
    if (bitmap.biSizeImage < bytes) {
        return STATUS_INVALID_PARAMETER;
    }

    if (OldFormat == nullptr) {
        // Pin creation: Create takes the first copy.
        return STATUS_SUCCESS;
    }
    if (Pin->DeviceState != KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    // A new pin's Context starts as its filter's (ks/ns-ks-_kspin): until the
    // pin's Create replaced it, it names the VcamFilter, not a VcamPin, so a
    // change before Create has run has no pin object to take it.
    PKSFILTER filter = KsPinGetParentFilter(Pin);
    if (Pin->Context == nullptr || (filter != nullptr && Pin->Context == filter->Context)) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    VcamPin* pin = static_cast<VcamPin*>(Pin->Context);
    if (pin->CopyVideoInfo() == nullptr) {
        return STATUS_INSUFFICIENT_RESOURCES;
    }
    return STATUS_SUCCESS;
}
