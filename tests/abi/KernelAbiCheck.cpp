// The kernel side of the ABI check: compiled by x86_64-w64-mingw32-g++
// against the real ntddk.h/ks.h/ksmedia.h through the driver's own
// Platform.h, it asserts the fixed sizes the driver relies on and, with
// VCAM_ABI_HOST_FIGURES defined, every size and offset the host build
// printed from AbiFields.def (AbiHostFigures.h, made by abi_host_figures).
// It is never linked: compiling it is the check. A mismatch fails with
// "ABI mismatch: TYPE.field: ... host build is N" and the note
// "the comparison reduces to (kernel == host)".
#if defined(VCAM_HOST)
#error "KernelAbiCheck.cpp checks the kernel headers; build it with the kernel toolchain"
#endif

#include "driver/platform/Platform.h"

#include <stddef.h>

#include "tests/abi/AbiFixedSizes.h"

#if defined(VCAM_ABI_HOST_FIGURES)
#include "AbiHostFigures.h"
#endif
