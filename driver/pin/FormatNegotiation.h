// Format negotiation of the capture pin: the data intersection handler that
// answers a client's proposed range with one concrete
// KS_DATAFORMAT_VIDEOINFOHEADER, and the SetDataFormat check that every
// connection format passes before the pin takes it.
//
// Both read only the bytes the caller provided: a range or format is trusted
// for no more than its FormatSize, and a bitmap header for no more than its
// biSize once that is known to lie inside FormatSize.
#pragma once

#include "driver/platform/Platform.h"

// The pin descriptor's intersection handler. PASSIVE_LEVEL, pageable; called
// by the class library for a caller's range it has paired (by major format,
// subformat and specifier) with the pin's data range `MatchingDataRange`.
// Context, Irp and Pin are not used. STATUS_SUCCESS with the format in Data
// and its size in *DataSize; STATUS_BUFFER_OVERFLOW with the size for a size
// query (DataBufferSize 0); STATUS_BUFFER_TOO_SMALL (DataSize untouched);
// STATUS_NO_MATCH; STATUS_INVALID_PARAMETER for inconsistent sizes.
NTSTATUS IntersectHandler(PVOID Context, PIRP Irp, PKSP_PIN Pin, PKSDATARANGE DataRange,
                          PKSDATARANGE MatchingDataRange, ULONG DataBufferSize, PVOID Data,
                          PULONG DataSize);

// The pin's KSPIN_DISPATCH SetDataFormat. PASSIVE_LEVEL, pageable; called by
// the class library with the proposed format already in Pin->ConnectionFormat:
// with OldFormat null before the pin's Create (check only), and with the old
// format for a later change, which is taken (a new copy of the video info)
// only while the pin is in KSSTATE_STOP. Never concurrently with the pin's
// Create or SetDeviceState. OldAttributeList and AttributeRange are not used.
NTSTATUS SetDataFormat(PKSPIN Pin, PKSDATAFORMAT OldFormat, PKSMULTIPLE_ITEM OldAttributeList,
                       const KSDATARANGE* DataRange, const KSATTRIBUTE_LIST* AttributeRange);
