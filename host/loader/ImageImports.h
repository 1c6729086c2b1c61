// The routines a driver image's imports are bound to (host/loader/Imports.def),
// and the few imports that need more than a thunk to the host routine: the
// reference clock interface (its vtable is called in the image's convention),
// lookaside lists (their Allocate and Free are called by the image's inline
// code) and the bug check.
#pragma once

#include <host/ks.h>

#include <string>

namespace host::loader {

class ImageImports {
  public:
    // True for the modules a driver may import from (ks.sys, ntoskrnl.exe),
    // compared without case as the kernel's loader does.
    static bool IsPlatformModule(const std::string& dll);
    // The ms_abi routine bound to `dll`!`name`, or nullptr when Imports.def has
    // no line for it.
    static void* Find(const std::string& dll, const std::string& name);
    // Number of lines in Imports.def.
    static size_t Count();
};

// KsPinGetReferenceClockInterface for an image: the interface it hands out is
// an adapter whose vtable the image calls with the Windows x64 convention.
class ImageReferenceClock {
  public:
    static NTSTATUS KsPinGetInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface);
};

// ExInitializeNPagedLookasideList for an image: the list's default Allocate
// and Free (when the driver passes none) are the host's, as ms_abi routines,
// since the image's inline ExAllocateFromNPagedLookasideList calls them.
class ImageLookaside {
  public:
    static void Initialize(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                           PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag, USHORT Depth);
    // ExDeleteNPagedLookasideList for an image: a use after delete reaches
    // the host's reporting routines as ms_abi routines.
    static void Delete(PNPAGED_LOOKASIDE_LIST Lookaside);
};

// KeBugCheckEx: the machine stops. The host prints the stop code, its four
// parameters and the image's call site, then aborts the process.
class ImageBugCheck {
  public:
    [[noreturn]] static void KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1,
                                          ULONG_PTR Parameter2, ULONG_PTR Parameter3,
                                          ULONG_PTR Parameter4);
};

}  // namespace host::loader
