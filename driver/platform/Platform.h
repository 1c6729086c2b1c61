// The driver's one door to the platform: the kernel streaming class library
// and the kernel executive. Every driver file includes this and nothing else
// from outside driver/.
//
// Kernel build (x86_64-w64-mingw32): the real ntddk.h, windef.h, ks.h and
// ksmedia.h, with their known gaps papered over here and nowhere else.
// Host build (VCAM_HOST): host/include, the same names with the same x64
// layout, implemented by host/ in user mode.
#pragma once

#if defined(VCAM_HOST)

#include <host/ksmedia.h>

#define VCAM_WIDE(text) u##text

// Pageable code must not run above APC_LEVEL; the host's verifier checks it.
#define PAGED_CODE() HostPagedCodeCheck(__FILE__, __LINE__)

// The host has no sections to place code in.
#define VCAM_INIT
#define VCAM_PAGE
#define VCAM_RESIDENT

#else  // kernel build

// mingw-w64 10 declares these intrinsics in both winnt.h and its ddk headers;
// telling it they are defined keeps the second declaration out.
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#define __INTRINSIC_DEFINED_InterlockedBitTestAndSet
#endif
#ifndef __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#define __INTRINSIC_DEFINED_InterlockedBitTestAndReset
#endif

#include <ntddk.h>
#include <windef.h>
// ks.h declares IKsReferenceClock and KsPinGetReferenceClockInterface only
// once a kernel-mode IUnknown is known. The ddk's punknown.h supplies it; it
// spells its interfaces with two attributes that ntddk.h leaves undefined.
#ifndef DECLSPEC_NOVTABLE
#define DECLSPEC_NOVTABLE
#endif
#ifndef DECLSPEC_NOTHROW
#define DECLSPEC_NOTHROW
#endif
#include <punknown.h>
// ksmedia.h names TCHAR in a few declarations without including tchar.h.
typedef WCHAR TCHAR;
#include <ks.h>
#include <ksmedia.h>

#define VCAM_WIDE(text) L##text

// The WDK's lookaside flag for no-execute pool; mingw-w64 does not define it.
#ifndef POOL_NX_ALLOCATION
#define POOL_NX_ALLOCATION 512
#endif

#undef PAGED_CODE
// Release build: the check costs nothing; the host build enforces the rule.
#define PAGED_CODE() ((void)0)

// Code placement. The loader discards INIT after DriverEntry returns and may
// page PAGE out; everything else is resident.
#define VCAM_INIT __attribute__((section("INIT"), used))
#define VCAM_PAGE __attribute__((section("PAGE")))
#define VCAM_RESIDENT

// The driver builds objects into pool memory with placement new; the kernel
// has no C++ runtime to supply it.
inline void* operator new(size_t, void* where) noexcept {
    return where;
}
inline void operator delete(void*, void*) noexcept {}

#endif

// mingw-w64's KS_FRAME_INFO names the surface pitch Reserved1 where the WDK
// has the lSurfacePitch union member; both name the same 32 bits at offset 56.
inline LONG VcamSurfacePitch(const KS_FRAME_INFO* frameInfo) {
    return static_cast<LONG>(frameInfo->Reserved1);
}

// A GUID constant built from the headers' STATIC_ initialiser, as constant
// data (the kernel runs no constructors for globals).
constexpr GUID VcamMakeGuid(ULONG data1, USHORT data2, USHORT data3, UCHAR b0, UCHAR b1, UCHAR b2,
                            UCHAR b3, UCHAR b4, UCHAR b5, UCHAR b6, UCHAR b7) {
    return GUID{data1, data2, data3, {b0, b1, b2, b3, b4, b5, b6, b7}};
}
#define VCAM_GUID(staticName) VcamMakeGuid(staticName)
