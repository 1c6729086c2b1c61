// A GUID from the headers' STATIC_ initialiser form (eleven comma-separated
// parts), without the missing inner braces of `GUID{STATIC_X}`.
#pragma once

#include <host/ntddk.h>

namespace host::ks {

constexpr GUID KsGuid(ULONG data1, USHORT data2, USHORT data3, UCHAR b0, UCHAR b1, UCHAR b2,
                      UCHAR b3, UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7) {
    return GUID{data1, data2, data3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}

}  // namespace host::ks
