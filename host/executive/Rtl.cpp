// Run-time library routines that are functions rather than macros.
#include <host/ntddk.h>

SIZE_T RtlCompareMemory(const void* Source1, const void* Source2, SIZE_T Length) {
    const UCHAR* a = static_cast<const UCHAR*>(Source1);
    const UCHAR* b = static_cast<const UCHAR*>(Source2);
    SIZE_T equal = 0;
    while (equal < Length && a[equal] == b[equal]) {
        ++equal;
    }
    return equal;
}
