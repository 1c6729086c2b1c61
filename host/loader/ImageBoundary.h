// The Windows x64 calling convention at the boundary between a loaded driver
// image and the host. The image calls the platform through thunks made from
// host/loader/Imports.def; the host calls the image's routines (dispatch,
// property and intersect handlers, DPC, bag free, stream pointer cancel) with
// CallDriver, which knows a routine's origin: an address inside a loaded
// image is called as ms_abi, any other (the host build of the driver, a test's
// mini driver) as the host's own convention. Every crossing into the image
// first brings the image's shared data page up to date.
#pragma once

#include <atomic>
#include <cstdint>
#include <utility>

namespace host::loader {

class ImageBoundary {
  public:
    // True if `address` lies in a mapped driver image. Any thread; one
    // comparison against the span of the loaded images.
    static bool InImage(const void* address) {
        auto at = reinterpret_cast<uintptr_t>(address);
        return at >= low_.load(std::memory_order_relaxed) &&
               at < high_.load(std::memory_order_relaxed);
    }
    // The image return address of the innermost import call on this thread,
    // or nullptr when the host itself is the caller (the host's HOST_CALLER
    // reports it instead of the thunk).
    static const void* ImageCaller() { return imageCaller_; }

    // The image is entered: refresh what its inline platform code reads.
    static void Entering();
    // The host's copy of the kernel's shared data page (KUSER_SHARED_DATA),
    // which the loader points the image's inline reads at. SystemTime (at
    // 0x14) is system time as KeQuerySystemTime returns it, written at every
    // entry into the image.
    static void* SharedPage();

    // The verifier's check of an import call from the image: the platform
    // called from pageable code (the PAGE section) above APC_LEVEL is what
    // PAGED_CODE() would have caught, had the release build kept it.
    static void CheckCaller(const void* returnAddress);

    // Span of the loaded images (DriverImage keeps it).
    static void SetSpan(uintptr_t low, uintptr_t high) {
        low_.store(low);
        high_.store(high);
    }

    // Scope of one import call from the image: notes the image's return
    // address for reports, and refreshes the page on the way back.
    class ImportScope {
      public:
        explicit ImportScope(const void* returnAddress) : saved_(imageCaller_) {
            imageCaller_ = returnAddress;
            CheckCaller(returnAddress);
        }
        ~ImportScope() {
            imageCaller_ = saved_;
            Entering();
        }
        ImportScope(const ImportScope&) = delete;
        ImportScope& operator=(const ImportScope&) = delete;

      private:
        const void* saved_;
    };

    // Scope of one call into the image from the host: the host is no longer
    // calling on the image's behalf until it returns.
    class CallScope {
      public:
        CallScope() : saved_(imageCaller_) {
            imageCaller_ = nullptr;
            Entering();
        }
        ~CallScope() { imageCaller_ = saved_; }
        CallScope(const CallScope&) = delete;
        CallScope& operator=(const CallScope&) = delete;

      private:
        const void* saved_;
    };

  private:
    static std::atomic<uintptr_t> low_;
    static std::atomic<uintptr_t> high_;
    static thread_local const void* imageCaller_;
};

// An import served by `Routine`, callable from the image (ms_abi). The
// signature is the host declaration's, so narrow arguments (BOOLEAN, KIRQL,
// USHORT) are taken from the low bits the Windows convention defines.
template <auto Routine>
struct ImportThunk;
template <typename R, typename... A, R (*Routine)(A...)>
struct ImportThunk<Routine> {
    static __attribute__((ms_abi)) R Call(A... args) {
        ImageBoundary::ImportScope scope(__builtin_return_address(0));
        return Routine(args...);
    }
};

}  // namespace host::loader

namespace host {

// Calls a routine the driver handed to the platform, in the driver's
// convention (see ImageBoundary). Any IRQL; the callee's rules apply.
template <typename R, typename... P, typename... A>
R CallDriver(R (*routine)(P...), A&&... args) {
    if (loader::ImageBoundary::InImage(reinterpret_cast<const void*>(routine))) {
        typedef R(__attribute__((ms_abi)) * ImageRoutine)(P...);
        loader::ImageBoundary::CallScope scope;
        return reinterpret_cast<ImageRoutine>(routine)(std::forward<A>(args)...);
    }
    return routine(std::forward<A>(args)...);
}

}  // namespace host
