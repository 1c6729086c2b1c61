#include "host/loader/ImageBoundary.h"

#include "host/executive/Executive.h"

#include "host/executive/HostKernel.h"
#include "host/executive/ThreadState.h"
#include "host/loader/DriverImage.h"
#include "host/verifier/CallSite.h"
#include "host/verifier/Verifier.h"

#include <cstdio>

#include <cstring>

namespace host::loader {

std::atomic<uintptr_t> ImageBoundary::low_{UINTPTR_MAX};
std::atomic<uintptr_t> ImageBoundary::high_{0};
thread_local const void* ImageBoundary::imageCaller_ = nullptr;

namespace {

// KSYSTEM_TIME, as the kernel publishes it: readers take High1Time, LowPart,
// High2Time and retry while the highs differ; the writer stores High2Time,
// LowPart, High1Time in that order.
alignas(4096) uint8_t sharedPage[4096];

struct KSystemTime {
    volatile uint32_t LowPart;
    volatile int32_t High1Time;
    volatile int32_t High2Time;
};
constexpr size_t kInterruptTimeOffset = 0x08;
constexpr size_t kSystemTimeOffset = 0x14;

// Writes one KSYSTEM_TIME in the writer's order.
void Publish(size_t offset, int64_t value) {
    auto* time = reinterpret_cast<KSystemTime*>(sharedPage + offset);
    time->High2Time = static_cast<int32_t>(value >> 32);
    std::atomic_thread_fence(std::memory_order_release);
    time->LowPart = static_cast<uint32_t>(value);
    std::atomic_thread_fence(std::memory_order_release);
    time->High1Time = static_cast<int32_t>(value >> 32);
}

// One writer at a time; a thread that finds it taken leaves the refresh to the
// thread that holds it.
std::atomic_flag writing = ATOMIC_FLAG_INIT;

}  // namespace

void ImageBoundary::CheckCaller(const void* returnAddress) {
    KIRQL irql = ThreadState::Irql();
    if (irql <= APC_LEVEL) {
        return;
    }
    const auto* pc = static_cast<const uint8_t*>(returnAddress) - 1;
    DriverImage* image = DriverImage::Find(pc);
    if (image == nullptr || image->SectionOf(pc) != "PAGE") {
        return;
    }
    // A direct call (e8 rel32) ends at the return address: the routine it
    // called reached the platform by a tail jump and is the real caller, so
    // the IRQL it runs at says nothing about the PAGE routine.
    const uint8_t* call = static_cast<const uint8_t*>(returnAddress) - 5;
    if (image->Contains(call) && image->SectionOf(call) == "PAGE" && *call == 0xe8) {
        return;
    }
    char text[160];
    std::snprintf(text, sizeof text,
                  "platform call from pageable code (section PAGE) at IRQL %u: PAGED_CODE() "
                  "would stop here",
                  static_cast<unsigned>(irql));
    Verifier::Report(Rule::PagedCodeAtRaisedIrql, CallSite::Format(returnAddress).c_str(), text);
}

void* ImageBoundary::SharedPage() {
    return sharedPage;
}

void ImageBoundary::Entering() {
    if (writing.test_and_set(std::memory_order_acquire)) {
        return;
    }
    // The values KeQueryInterruptTime and KeQuerySystemTime answer: those of
    // the last clock interrupt, as the kernel keeps the page.
    Publish(kInterruptTimeOffset, Executive::Instance().QueryInterruptTime());
    Publish(kSystemTimeOffset, Executive::Instance().QuerySystemTime());
    writing.clear(std::memory_order_release);
}

}  // namespace host::loader
