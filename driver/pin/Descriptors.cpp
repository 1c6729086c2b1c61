#include "driver/pin/Descriptors.h"

#include "driver/injection/FrameInjection.h"
#include "driver/pin/FormatNegotiation.h"
#include "driver/pin/VcamFilter.h"
#include "driver/pin/VcamPin.h"

namespace {

const GUID KsNameFilter = VCAM_GUID(STATIC_KSNAME_Filter);
const GUID PinNameVideoCapture = VCAM_GUID(STATIC_PINNAME_VIDEO_CAPTURE);

const KSFILTER_DISPATCH CaptureFilterDispatch = {
    VcamFilter::DispatchCreate,  // Create: attach the VcamFilter
    nullptr,                     // Close: the bag frees the VcamFilter
    nullptr,                     // Process: the pin does the work
    nullptr,                     // Reset
};

const KSPIN_DISPATCH CapturePinDispatch = {
    VcamPin::DispatchCreate,          // Create: VcamPin, format copy, private framing
    nullptr,                          // Close: the bag frees the VcamPin
    VcamPin::DispatchProcess,         // Process: hand capture buffers to the engine
    nullptr,                          // Reset
    SetDataFormat,                    // SetDataFormat: validate every proposed format
    VcamPin::DispatchSetDeviceState,  // SetDeviceState: claim/start/pause/stop the engine
    nullptr,                          // Connect
    nullptr,                          // Disconnect
    nullptr,                          // Clock: the pin is no clock
    nullptr,                          // Allocator: the standard one
};

// The pin's one data range, listed as the class library expects.
const PKSDATARANGE CaptureDataRanges[] = {
    (PKSDATARANGE)&CaptureDataRange,  // YUY2 1280 x 720, the only format
};

}  // namespace

// Not const: the class library's factory call takes a plain wide string.
WCHAR CaptureReferenceString[] = VCAM_WIDE("GLOBAL");

const GUID CaptureFilterCategories[3] = {
    VCAM_GUID(STATIC_KSCATEGORY_VIDEO),         // a video device
    VCAM_GUID(STATIC_KSCATEGORY_CAPTURE),       // that captures
    VCAM_GUID(STATIC_KSCATEGORY_VIDEO_CAMERA),  // and is a camera to camera apps
};

const KS_DATARANGE_VIDEO CaptureDataRange = {
    // DataRange: its own size, fixed-size YUY2 samples of 1280 x 720 x 2.
    {{sizeof(KS_DATARANGE_VIDEO), 0, VCAM_IMAGE_SIZE, 0, VCAM_GUID(STATIC_KSDATAFORMAT_TYPE_VIDEO),
      VcamMakeGuid(VCAM_FOURCC_YUY2, 0x0000, 0x0010, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B,
                   0x71),
      VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO)}},
    TRUE,   // bFixedSizeSamples: every frame is a whole image
    FALSE,  // bTemporalCompression: uncompressed
    0,      // StreamDescriptionFlags
    0,      // MemoryAllocationFlags
    {
        // ConfigCaps: one fixed size, no cropping or scaling.
        VCAM_GUID(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO),  // guid
        0,                                                   // VideoStandard: none (not analog)
        {VCAM_WIDTH, VCAM_HEIGHT},                           // InputSize
        {VCAM_WIDTH, VCAM_HEIGHT},                           // MinCroppingSize
        {VCAM_WIDTH, VCAM_HEIGHT},                           // MaxCroppingSize
        8,                                                   // CropGranularityX
        1,                                                   // CropGranularityY
        8,                                                   // CropAlignX
        1,                                                   // CropAlignY
        {VCAM_WIDTH, VCAM_HEIGHT},                           // MinOutputSize
        {VCAM_WIDTH, VCAM_HEIGHT},                           // MaxOutputSize
        8,                                                   // OutputGranularityX
        1,                                                   // OutputGranularityY
        0,                                                   // StretchTapsX
        0,                                                   // StretchTapsY
        0,                                                   // ShrinkTapsX
        0,                                                   // ShrinkTapsY
        VCAM_FRAME_INTERVAL,                                 // MinFrameInterval: 29.97 fps at most
        640000000,                                           // MaxFrameInterval: 64 s
        442368000,                                           // MinBitsPerSecond: 1280x720x16x30
        442368000,                                           // MaxBitsPerSecond
    },
    {
        // VideoInfoHeader: the default format an intersection starts from.
        {0, 0, 0, 0},         // rcSource: the whole image
        {0, 0, 0, 0},         // rcTarget: the whole buffer
        442368000,            // dwBitRate
        0,                    // dwBitErrorRate
        VCAM_FRAME_INTERVAL,  // AvgTimePerFrame
        {
            sizeof(KS_BITMAPINFOHEADER),  // biSize: 40
            VCAM_WIDTH,                   // biWidth
            VCAM_HEIGHT,                  // biHeight: positive, as YUY2 is written
            1,                            // biPlanes
            16,                           // biBitCount
            VCAM_FOURCC_YUY2,             // biCompression
            VCAM_IMAGE_SIZE,              // biSizeImage
            0,                            // biXPelsPerMeter
            0,                            // biYPelsPerMeter
            0,                            // biClrUsed
            0,                            // biClrImportant
        },
    },
};

const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming = {
    1,          // CountItems
    0,          // PinFlags
    {1, 1, 0},  // OutputCompression: none
    0,          // PinWeight
    {{
        VCAM_GUID(
            STATIC_KSMEMORY_TYPE_KERNEL_NONPAGED),      // MemoryType: the engine fills at DISPATCH
        VCAM_GUID(STATIC_GUID_NULL),                    // BusType: any
        0,                                              // MemoryFlags
        0,                                              // BusFlags
        KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY |        // Flags: system memory,
            KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY,  // as a preference
        2,                                              // Frames: double buffering
        0,                                              // FileAlignment: bytes
        0,                                              // MemoryTypeWeight
        {0, 0xFFFFFFFF, 1},                             // PhysicalRange: any
        {{8192, 8192, 1}, 0, 0},  // FramingRange: placeholder; each pin sets its image size
    }},
};

const KSPIN_DESCRIPTOR_EX CapturePinDescriptor = {
    &CapturePinDispatch,  // Dispatch
    nullptr,              // AutomationTable: the injection set lives on the filter
    {
        0,                         // InterfacesCount: the standard interface
        nullptr,                   // Interfaces
        0,                         // MediumsCount: the standard medium
        nullptr,                   // Mediums
        1,                         // DataRangesCount
        CaptureDataRanges,         // DataRanges: YUY2 1280 x 720
        KSPIN_DATAFLOW_OUT,        // DataFlow: a capture pin produces
        KSPIN_COMMUNICATION_BOTH,  // Communication: source and sink
        &PinNameVideoCapture,      // Category: a video capture pin
        &PinNameVideoCapture,      // Name: the same
        {0},                       // ConstrainedDataRanges: none
    },
    KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,  // Flags: Process only while running
    1,                                     // InstancesPossible: one capture pin per filter
    1,                                     // InstancesNecessary
    &CaptureAllocatorFraming,              // AllocatorFraming: each pin edits its own copy
    IntersectHandler,                      // IntersectHandler: concrete format from a range
};

const KSFILTER_DESCRIPTOR CaptureFilterDescriptor = {
    &CaptureFilterDispatch,       // Dispatch
    &FilterAutomationTable,       // AutomationTable: the frame injection set
    KSFILTER_DESCRIPTOR_VERSION,  // Version
    0,                            // Flags
    &KsNameFilter,                // ReferenceGuid
    1,                            // PinDescriptorsCount: the capture pin
    sizeof(KSPIN_DESCRIPTOR_EX),  // PinDescriptorSize
    &CapturePinDescriptor,        // PinDescriptors
    3,                            // CategoriesCount
    CaptureFilterCategories,      // Categories: video, capture, video camera
    0,                            // NodeDescriptorsCount: no topology
    sizeof(KSNODE_DESCRIPTOR),    // NodeDescriptorSize
    nullptr,                      // NodeDescriptors
    0,                            // ConnectionsCount
    nullptr,                      // Connections
    nullptr,                      // ComponentId
};
