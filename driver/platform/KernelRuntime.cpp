// The little a C++ compiler expects from a runtime, supplied for the kernel
// build, where no C++ runtime exists: the driver links against ks.sys and
// ntoskrnl.exe only (no exceptions, no RTTI, no global constructors, objects
// placed into pool memory). The host build links the host's own runtime.
#if !defined(VCAM_HOST)

#include "driver/platform/Platform.h"

// What a pure virtual call reports: the platform's "unhandled kernel-mode
// exception" stop, with STATUS_NOT_IMPLEMENTED as the exception code (the
// called function has no body) and the call site as the faulting address.
static const ULONG kPureVirtualCallBugCheck = KMODE_EXCEPTION_NOT_HANDLED;

// The compiler fills the vtable slot of every pure virtual function with this
// routine; it runs only if an object is called through such a slot while it
// is being constructed or destroyed, which is a driver bug: stop the machine
// where it happened rather than jump into nothing.
// Any IRQL; resident (it can be reached from any code); never returns.
extern "C" VCAM_RESIDENT void __cxa_pure_virtual() {
    KeBugCheckEx(kPureVirtualCallBugCheck, static_cast<ULONG_PTR>(STATUS_NOT_IMPLEMENTED),
                 reinterpret_cast<ULONG_PTR>(__builtin_return_address(0)), 0, 0);
}

#endif  // !VCAM_HOST
