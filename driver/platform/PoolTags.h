// The driver's pool tags, in the byte order the kernel prints them: every
// allocation names its owner, so a leak report says whose block it was.
#pragma once

#define VCAM_TAG(a, b, c, d) \
    ((ULONG)(a) | ((ULONG)(b) << 8) | ((ULONG)(c) << 16) | ((ULONG)(d) << 24))
#define VCAM_TAG_DEVICE VCAM_TAG('C', 'D', 'e', 'v')
#define VCAM_TAG_FILTER VCAM_TAG('C', 'F', 'i', 'l')
#define VCAM_TAG_PIN VCAM_TAG('C', 'P', 'i', 'n')
#define VCAM_TAG_ENGINE VCAM_TAG('H', 'S', 'i', 'm')
#define VCAM_TAG_RGB_LAYOUT VCAM_TAG('I', 's', 'y', 'R')
#define VCAM_TAG_YUV_LAYOUT VCAM_TAG('I', 's', 'y', 'Y')
#define VCAM_TAG_BUFFER VCAM_TAG('A', 'V', 'S', 'h')
#define VCAM_TAG_ENTRY VCAM_TAG('S', 'G', 'E', 'n')
