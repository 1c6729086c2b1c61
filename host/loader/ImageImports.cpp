#include "host/loader/ImageImports.h"

#include "host/executive/Executive.h"
#include "host/loader/ImageBoundary.h"
#include "host/verifier/CallSite.h"

#include <strings.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace host::loader {

namespace {

struct Binding {
    const char* dll;
    const char* name;
    void* routine;
};

#define VCAM_IMPORT(dll, name, routine) \
    {dll, #name, reinterpret_cast<void*>(&ImportThunk<&routine>::Call)},
const Binding kBindings[] = {
#include "host/loader/Imports.def"
};
#undef VCAM_IMPORT

// The reference clock handed to an image: the first member is the vtable
// pointer, the slots in IKsReferenceClock's order, each forwarding to the
// host's clock. Freed when its own count drops to zero.
struct ImageClock {
    const void* const* vtable;
    PIKSREFERENCECLOCK clock;
    volatile LONG references;
};

__attribute__((ms_abi)) HRESULT ClockQueryInterface(ImageClock* self, REFIID riid, void** ppv) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    (void)riid;
    (void)self;
    *ppv = nullptr;
    return static_cast<HRESULT>(0x80004002L);  // E_NOINTERFACE: the image gets no host object
}
__attribute__((ms_abi)) ULONG ClockAddRef(ImageClock* self) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    self->clock->AddRef();
    return static_cast<ULONG>(InterlockedIncrement(&self->references));
}
__attribute__((ms_abi)) ULONG ClockRelease(ImageClock* self) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    self->clock->Release();
    LONG left = InterlockedDecrement(&self->references);
    if (left == 0) {
        delete self;
    }
    return static_cast<ULONG>(left);
}
__attribute__((ms_abi)) LONGLONG ClockGetTime(ImageClock* self) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetTime();
}
__attribute__((ms_abi)) LONGLONG ClockGetPhysicalTime(ImageClock* self) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetPhysicalTime();
}
__attribute__((ms_abi)) LONGLONG ClockGetCorrelatedTime(ImageClock* self, PLONGLONG systemTime) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetCorrelatedTime(systemTime);
}
__attribute__((ms_abi)) LONGLONG ClockGetCorrelatedPhysicalTime(ImageClock* self,
                                                                PLONGLONG systemTime) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetCorrelatedPhysicalTime(systemTime);
}
__attribute__((ms_abi)) NTSTATUS ClockGetResolution(ImageClock* self, PKSRESOLUTION resolution) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetResolution(resolution);
}
__attribute__((ms_abi)) NTSTATUS ClockGetState(ImageClock* self, PKSSTATE state) {
    ImageBoundary::ImportScope scope(__builtin_return_address(0));
    return self->clock->GetState(state);
}

const void* const kClockVtable[] = {
    reinterpret_cast<const void*>(&ClockQueryInterface),
    reinterpret_cast<const void*>(&ClockAddRef),
    reinterpret_cast<const void*>(&ClockRelease),
    reinterpret_cast<const void*>(&ClockGetTime),
    reinterpret_cast<const void*>(&ClockGetPhysicalTime),
    reinterpret_cast<const void*>(&ClockGetCorrelatedTime),
    reinterpret_cast<const void*>(&ClockGetCorrelatedPhysicalTime),
    reinterpret_cast<const void*>(&ClockGetResolution),
    reinterpret_cast<const void*>(&ClockGetState),
};

}  // namespace

bool ImageImports::IsPlatformModule(const std::string& dll) {
    return strcasecmp(dll.c_str(), "ks.sys") == 0 || strcasecmp(dll.c_str(), "ntoskrnl.exe") == 0;
}

void* ImageImports::Find(const std::string& dll, const std::string& name) {
    for (const Binding& binding : kBindings) {
        if (strcasecmp(binding.dll, dll.c_str()) == 0 && name == binding.name) {
            return binding.routine;
        }
    }
    return nullptr;
}

size_t ImageImports::Count() {
    return sizeof kBindings / sizeof kBindings[0];
}

NTSTATUS ImageReferenceClock::KsPinGetInterface(PKSPIN Pin, PIKSREFERENCECLOCK* Interface) {
    NTSTATUS status = ::KsPinGetReferenceClockInterface(Pin, Interface);
    if (NT_SUCCESS(status) && Interface != nullptr && *Interface != nullptr) {
        auto* adapter = new ImageClock{kClockVtable, *Interface, 1};
        *Interface = reinterpret_cast<PIKSREFERENCECLOCK>(adapter);
    }
    return status;
}

void ImageLookaside::Initialize(PNPAGED_LOOKASIDE_LIST Lookaside, PALLOCATE_FUNCTION Allocate,
                                PFREE_FUNCTION Free, ULONG Flags, SIZE_T Size, ULONG Tag,
                                USHORT Depth) {
    ::ExInitializeNPagedLookasideList(Lookaside, Allocate, Free, Flags, Size, Tag, Depth);
    if (Allocate == nullptr) {
        Lookaside->L.Allocate =
            reinterpret_cast<PALLOCATE_FUNCTION>(&ImportThunk<&::HostLookasideAllocate>::Call);
    }
    if (Free == nullptr) {
        Lookaside->L.Free =
            reinterpret_cast<PFREE_FUNCTION>(&ImportThunk<&::HostLookasideFree>::Call);
    }
}

void ImageLookaside::Delete(PNPAGED_LOOKASIDE_LIST Lookaside) {
    bool live = Lookaside->L.Future[0] == Executive::kLookasideMagic;
    ::ExDeleteNPagedLookasideList(Lookaside);
    if (live) {
        Lookaside->L.Allocate = reinterpret_cast<PALLOCATE_FUNCTION>(
            &ImportThunk<&::HostDeletedLookasideAllocate>::Call);
        Lookaside->L.Free =
            reinterpret_cast<PFREE_FUNCTION>(&ImportThunk<&::HostDeletedLookasideFree>::Call);
    }
}

void ImageBugCheck::KeBugCheckEx(ULONG BugCheckCode, ULONG_PTR Parameter1, ULONG_PTR Parameter2,
                                 ULONG_PTR Parameter3, ULONG_PTR Parameter4) {
    std::fprintf(
        stderr,
        "bug check 0x%08x (0x%llx, 0x%llx, 0x%llx, 0x%llx) called from %s: the machine "
        "stops\n",
        BugCheckCode, static_cast<unsigned long long>(Parameter1),
        static_cast<unsigned long long>(Parameter2), static_cast<unsigned long long>(Parameter3),
        static_cast<unsigned long long>(Parameter4), CallSite::Format(HOST_CALLER()).c_str());
    std::abort();
}

}  // namespace host::loader
