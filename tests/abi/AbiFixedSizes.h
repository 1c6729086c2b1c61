// The sizes the driver's tables and buffer arithmetic are written for, as the
// platform documents them for x64. Both builds assert them: the host build
// against host/include, the kernel build against the real mingw-w64 headers.
// Include after driver/platform/Platform.h.
#pragma once

#include <stddef.h>

// A data range entry reports FormatSize 296 to the client.
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296, "KS_DATARANGE_VIDEO must be 296 bytes");
// The connection format the pin accepts and the intersection answers.
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152,
              "KS_DATAFORMAT_VIDEOINFOHEADER must be 152 bytes");
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128,
              "KS_VIDEO_STREAM_CONFIG_CAPS must be 128 bytes");
static_assert(sizeof(KSDATAFORMAT) == 64, "KSDATAFORMAT must be 64 bytes");
// The format size arithmetic counts the header fields ahead of bmiHeader.
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48,
              "KS_VIDEOINFOHEADER must hold 48 bytes ahead of bmiHeader");
// The least input of a property request (MinProperty).
static_assert(sizeof(KSPROPERTY) == 24, "KSPROPERTY must be 24 bytes");
// A capture pin asks for stream headers of 128 bytes: KSSTREAM_HEADER and
// the KS_FRAME_INFO that follows it.
static_assert(sizeof(KSSTREAM_HEADER) == 56, "KSSTREAM_HEADER must be 56 bytes");
static_assert(sizeof(KS_FRAME_INFO) == 72, "KS_FRAME_INFO must be 72 bytes");
static_assert(sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO) == 128,
              "KSSTREAM_HEADER followed by KS_FRAME_INFO must be 128 bytes");
// The surface pitch the driver writes (Reserved1 / lSurfacePitch).
static_assert(offsetof(KS_FRAME_INFO, Reserved1) == 56, "KS_FRAME_INFO pitch must be at 56");
