// The camera's identity as the class library and every application see it:
// one filter under the video, capture and video camera categories, with one
// capture output pin offering exactly one format, YUY2 1280 x 720 at up to
// 29.97 frames per second. All tables are constant data.
#pragma once

#include "driver/platform/Platform.h"

// Image geometry of the one format.
#define VCAM_WIDTH 1280
#define VCAM_HEIGHT 720
#define VCAM_IMAGE_SIZE (VCAM_WIDTH * VCAM_HEIGHT * 2)
#define VCAM_FRAME_INTERVAL 333667LL  // 100 ns units: 29.97 frames per second
#define VCAM_FOURCC_YUY2 0x32595559UL

// The reference string of the filter factory's device interfaces, "GLOBAL".
extern WCHAR CaptureReferenceString[];

extern const KSFILTER_DESCRIPTOR CaptureFilterDescriptor;
extern const KSPIN_DESCRIPTOR_EX CapturePinDescriptor;
extern const KS_DATARANGE_VIDEO CaptureDataRange;
extern const KSALLOCATOR_FRAMING_EX CaptureAllocatorFraming;
extern const GUID CaptureFilterCategories[3];
