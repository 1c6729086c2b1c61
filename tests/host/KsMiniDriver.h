// A small test-only AVStream minidriver for the class library model's tests:
// its own device, filter and pin descriptors and dispatch routines, each of
// which records what it was called with and does what the current test asks
// (statuses, hooks). Nothing here depends on the real driver.
//
//  - device: Add puts a pool item in the device bag and sets Context; Start
//    creates one filter factory (reference string "GLOBAL", categories VIDEO
//    and CAPTURE) under the device mutex, with the flags the test chooses.
//  - filter: Create puts an item in the filter bag; a property set with
//    item 0 (get/set, MinProperty 24, MinData 0), item 1 (get, MinProperty 32,
//    MinData 8) and item 2 (set only).
//  - pin 0 "capture": output, KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY, one
//    instance, ranges A (68 bytes, VIDEO/SubA/VIDEOINFO) and B (64 bytes,
//    VIDEO/SubB/Other), an intersect handler answering 72 bytes.
//  - pin 1 "loose": output, no flag, two instances, one wildcard range
//    (VIDEO/any/any), no intersect handler, only a Process routine.
#pragma once

#include <host/executive/HostKernel.h>
#include <host/ksmedia.h>
#include <host/variants/Variants.h>
#include <host/verifier/Verifier.h>

#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"
#include "host/ks/KsFaults.h"
#include "host/ks/KsGuid.h"
#include "host/ks/KsStatus.h"
#include "support/KernelTestFixture.h"

#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ksmini {

using host::ks::KsGuid;

inline const GUID kCategoryVideo = KsGuid(STATIC_KSCATEGORY_VIDEO);
inline const GUID kCategoryCapture = KsGuid(STATIC_KSCATEGORY_CAPTURE);
inline const GUID kCategoryCamera = KsGuid(STATIC_KSCATEGORY_VIDEO_CAMERA);
inline const GUID kMajorVideo = KsGuid(STATIC_KSDATAFORMAT_TYPE_VIDEO);
inline const GUID kSpecifierVideoInfo = KsGuid(STATIC_KSDATAFORMAT_SPECIFIER_VIDEOINFO);
inline const GUID kPinSet = KsGuid(STATIC_KSPROPSETID_Pin);
inline const GUID kWildcard = KsGuid(STATIC_GUID_NULL);
inline const GUID kSubA = {0x5a5a0001, 0x0001, 0x0010, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const GUID kSubB = {0x5a5a0002, 0x0002, 0x0010, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const GUID kSubC = {0x5a5a0003, 0x0003, 0x0010, {0x80, 0, 0, 0xaa, 0, 0x38, 0x9b, 0x71}};
inline const GUID kSpecifierOther = {0x7e57a11d, 0x1234, 0x4321, {1, 2, 3, 4, 5, 6, 7, 8}};
inline const GUID kMiniSet = {
    0x1b0d3d1e, 0x3b8b, 0x4c36, {0x9a, 0x5e, 0x0b, 0x4f, 0x4c, 0x1a, 0x7c, 0x01}};
inline const GUID kOtherSet = {
    0x2c1e4e2f, 0x4c9c, 0x5d47, {0xab, 0x6f, 0x1c, 0x50, 0x5d, 0x2b, 0x8d, 0x12}};

constexpr ULONG kCapturePin = 0;
constexpr ULONG kLoosePin = 1;
constexpr ULONG kTagItem = host::PoolTag("TItm");
constexpr ULONG kIntersectAnswer = 72;  // a KSDATAFORMAT plus the index of the paired range

// What the minidriver's routines do and what they saw. One per process; reset
// by each test. Fields written by routines that may run on other threads are
// behind `mutex` or atomic.
struct MiniDriver {
    // ---- behaviour ----
    NTSTATUS addStatus = STATUS_SUCCESS;
    NTSTATUS startStatus = STATUS_SUCCESS;
    std::function<void(PKSDEVICE)> startHook;  // runs first in the driver's Start
    bool factoryLive = false;                  // Start made the factory and it still exists
    bool factoryInStart = true;
    ULONG factoryFlags = KSCREATE_ITEM_FREEONSTOP;
    NTSTATUS filterCreateStatus = STATUS_SUCCESS;
    NTSTATUS setDataFormatStatus = STATUS_SUCCESS;
    NTSTATUS pinCreateStatus = STATUS_SUCCESS;
    ULONG streamHeaderSize = sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    std::function<NTSTATUS(PKSPIN, KSSTATE, KSSTATE)> setDeviceState;  // null: success
    std::function<NTSTATUS(PKSPIN)> process;                           // null: StandardProcess
    std::function<NTSTATUS(PKSDATARANGE, PKSDATARANGE, ULONG, PVOID, PULONG)> intersect;
    // Called first by FilterCreate, FilterClose and the capture pin's
    // SetDataFormat, Create, Close and SetDeviceState with the routine's
    // name (e.g. to take time there); null: nothing.
    std::function<void(const char*)> entered;
    // KSFILTER.Context as FilterCreate found it, KSPIN.Context as PinCreate
    // found it (before each sets its own).
    PVOID filterContextAtCreate = nullptr;
    PVOID pinContextAtCreate = nullptr;
    // Called last by the capture pin's Create, with the filter control mutex
    // held by the platform (e.g. to change the pin's bag); null: nothing.
    std::function<void(PKSPIN)> pinCreated;
    // StandardProcess: clone each frame (8-byte context = Data) and use at
    // most `chunk` bytes per advance (0: the whole remainder).
    bool cloneFrames = true;
    ULONG chunk = 0;

    // ---- observations ----
    std::mutex mutex;
    std::vector<std::string> log;  // routine calls in order
    PKSDEVICE device = nullptr;
    PKSPIN lastPin = nullptr;
    std::vector<UCHAR> formatSeenBySetDataFormat;
    KSSTATE deviceStateSeenBySetDataFormat = KSSTATE_RUN;
    // property handlers
    ULONG handlerInputLength = 0;
    ULONG handlerOutputLength = 0;
    ULONG_PTR handlerInformationOnEntry = 99;
    KIRQL handlerIrql = HIGH_LEVEL;
    PKSFILTER handlerFilter = nullptr;
    std::vector<UCHAR> setData;
    int handlerCalls = 0;
    std::vector<std::string> intersectPairs;
    // Process
    std::atomic<int> processCalls{0};
    std::atomic<int> processAtRaisedIrql{0};
    std::atomic<int> processOverlaps{0};
    std::atomic<int> processRunning{0};
    std::thread::id processThread;

    void Log(const std::string& entry) {
        std::lock_guard<std::mutex> lock(mutex);
        log.push_back(entry);
    }
    std::vector<std::string> Log() {
        std::lock_guard<std::mutex> lock(mutex);
        return log;
    }
    void Enter(const char* routine) {
        if (entered) {
            entered(routine);
        }
    }
    void ClearLog() {
        std::lock_guard<std::mutex> lock(mutex);
        log.clear();
    }
};

inline MiniDriver*& MiniSlot() {
    static MiniDriver* mini = nullptr;
    return mini;
}

inline MiniDriver& Mini() {
    return *MiniSlot();
}

inline void ResetMini() {
    delete MiniSlot();
    MiniSlot() = new MiniDriver();
}

inline std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
inline std::string Format(const char* format, ...) {
    char text[256];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

// ---- report sites ----------------------------------------------------------

// What CallSite names for code at `entry` itself: "module+0xoffset" (plus
// the symbol when the dynamic symbol table has one).
inline std::string EntrySite(const void* entry) {
    Dl_info info{};
    if (dladdr(entry, &info) == 0 || info.dli_fname == nullptr) {
        return "no module for the routine";
    }
    const char* module = std::strrchr(info.dli_fname, '/');
    module = module != nullptr ? module + 1 : info.dli_fname;
    return Format("%s+0x%lx", module,
                  static_cast<unsigned long>(static_cast<const char*>(entry) -
                                             static_cast<const char*>(info.dli_fbase)));
}

// The report's site names exactly the routine at `entry`.
inline void ExpectSiteIs(const std::string& site, const void* entry) {
    const std::string expected = EntrySite(entry);
    EXPECT_TRUE(site == expected || site.rfind(expected + " (", 0) == 0)
        << "site " << site << ", routine at " << expected;
}

// ---- bag items ---------------------------------------------------------------

struct TestItem {
    char name[24];
};

inline TestItem* NewItem(const char* name) {
    auto* item =
        static_cast<TestItem*>(ExAllocatePoolWithTag(NonPagedPoolNx, sizeof(TestItem), kTagItem));
    if (item != nullptr) {
        std::snprintf(item->name, sizeof item->name, "%s", name);
    }
    return item;
}

inline void FreeItem(PVOID data) {
    auto* item = static_cast<TestItem*>(data);
    Mini().Log(std::string("free ") + item->name);
    ExFreePool(item);
}

// ---- filter ------------------------------------------------------------------

inline NTSTATUS FilterCreate(PKSFILTER filter, PIRP irp) {
    Mini().Enter("FilterCreate");
    Mini().Log(Format("FilterCreate irp=%d", irp != nullptr ? 1 : 0));
    Mini().filterContextAtCreate = filter->Context;
    TestItem* item = NewItem("filter-item");
    NTSTATUS status = KsAddItemToObjectBag(filter->Bag, item, FreeItem);
    if (!NT_SUCCESS(status)) {
        ExFreePool(item);
        return status;
    }
    if (!NT_SUCCESS(Mini().filterCreateStatus)) {
        return Mini().filterCreateStatus;
    }
    filter->Context = item;
    return STATUS_SUCCESS;
}

inline NTSTATUS FilterClose(PKSFILTER, PIRP) {
    Mini().Enter("FilterClose");
    Mini().Log("FilterClose");
    return STATUS_SUCCESS;
}

inline const KSFILTER_DISPATCH kFilterDispatch = {FilterCreate, FilterClose, nullptr, nullptr};

// Records what a property handler sees.
inline void NoteHandler(PIRP irp) {
    MiniDriver& m = Mini();
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
    m.handlerInputLength = stack->Parameters.DeviceIoControl.InputBufferLength;
    m.handlerOutputLength = stack->Parameters.DeviceIoControl.OutputBufferLength;
    m.handlerInformationOnEntry = irp->IoStatus.Information;
    m.handlerIrql = KeGetCurrentIrql();
    m.handlerFilter = KsGetFilterFromIrp(irp);
    ++m.handlerCalls;
}

constexpr ULONG kItem0Value = 0x11223344;

inline NTSTATUS GetItem0(PIRP irp, PKSIDENTIFIER, PVOID data) {
    NoteHandler(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    irp->IoStatus.Information = sizeof(ULONG);
    if (length < sizeof(ULONG)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, &kItem0Value, sizeof kItem0Value);
    return STATUS_SUCCESS;
}

inline NTSTATUS SetItem0(PIRP irp, PKSIDENTIFIER, PVOID data) {
    NoteHandler(irp);
    ULONG length = IoGetCurrentIrpStackLocation(irp)->Parameters.DeviceIoControl.OutputBufferLength;
    const auto* bytes = static_cast<const UCHAR*>(data);
    Mini().setData.assign(bytes, bytes + length);
    return STATUS_SUCCESS;
}

inline NTSTATUS GetItem1(PIRP irp, PKSIDENTIFIER request, PVOID data) {
    NoteHandler(irp);
    // The 8 bytes after the KSPROPERTY are echoed back.
    std::memcpy(data, reinterpret_cast<UCHAR*>(request) + sizeof(KSPROPERTY), 8);
    irp->IoStatus.Information = 8;
    return STATUS_SUCCESS;
}

inline NTSTATUS SetItem2(PIRP irp, PKSIDENTIFIER, PVOID) {
    NoteHandler(irp);
    return STATUS_SUCCESS;
}

inline const KSPROPERTY_ITEM kMiniItems[] = {
    {0, {GetItem0}, sizeof(KSPROPERTY), 0, {SetItem0}, nullptr, 0, nullptr, nullptr, 0},
    {1, {GetItem1}, sizeof(KSPROPERTY) + 8, 8, {nullptr}, nullptr, 0, nullptr, nullptr, 0},
    {2, {nullptr}, sizeof(KSPROPERTY), 0, {SetItem2}, nullptr, 0, nullptr, nullptr, 0},
};

inline const KSPROPERTY_SET kMiniSets[] = {{&kMiniSet, 3, kMiniItems, 0, nullptr}};

inline const KSAUTOMATION_TABLE kFilterAutomation = {1, sizeof(KSPROPERTY_ITEM), kMiniSets,
                                                     0, sizeof(KSMETHOD_ITEM),   nullptr,
                                                     0, sizeof(KSEVENT_ITEM),    nullptr};

// ---- pins --------------------------------------------------------------------

// StandardProcess: what a capture pin typically does with the leading edge.
inline NTSTATUS StandardProcess(PKSPIN pin) {
    PKSSTREAM_POINTER edge = KsPinGetLeadingEdgeStreamPointer(pin, KSSTREAM_POINTER_STATE_LOCKED);
    if (edge == nullptr) {
        return STATUS_PENDING;
    }
    for (;;) {
        if (Mini().cloneFrames) {
            PKSSTREAM_POINTER clone = nullptr;
            NTSTATUS status = KsStreamPointerClone(edge, nullptr, 8, &clone);
            if (!NT_SUCCESS(status)) {
                KsStreamPointerUnlock(edge, FALSE);
                return status;
            }
            std::memcpy(clone->Context, &edge->StreamHeader->Data, sizeof(PVOID));
        }
        ULONG remaining = edge->OffsetOut.Remaining;
        ULONG step = Mini().chunk != 0 && Mini().chunk < remaining ? Mini().chunk : remaining;
        NTSTATUS status = KsStreamPointerAdvanceOffsets(edge, 0, step, FALSE);
        if (status == STATUS_DEVICE_NOT_READY) {
            return STATUS_SUCCESS;
        }
        if (!NT_SUCCESS(status)) {
            return status;
        }
        if (Mini().chunk != 0) {
            // One piece per call: the rest waits for the next call.
            KsStreamPointerUnlock(edge, FALSE);
            return STATUS_SUCCESS;
        }
    }
}

// Deletes up to `count` clones, oldest first; returns how many.
inline int DeleteOldestClones(PKSPIN pin, int count) {
    int deleted = 0;
    PKSSTREAM_POINTER clone = KsPinGetFirstCloneStreamPointer(pin);
    while (clone != nullptr && deleted < count) {
        PKSSTREAM_POINTER next = KsStreamPointerGetNextClone(clone);
        KsStreamPointerDelete(clone);
        ++deleted;
        clone = next;
    }
    return deleted;
}

inline NTSTATUS PinSetDataFormat(PKSPIN pin, PKSDATAFORMAT oldFormat, PKSMULTIPLE_ITEM,
                                 const KSDATARANGE* range, const KSATTRIBUTE_LIST*) {
    MiniDriver& m = Mini();
    m.Enter("PinSetDataFormat");
    m.Log(Format("SetDataFormat old=%s range=%s", oldFormat == nullptr ? "null" : "set",
                 range->SubFormat == kSubA   ? "A"
                 : range->SubFormat == kSubB ? "B"
                                             : "other"));
    const auto* bytes = reinterpret_cast<const UCHAR*>(pin->ConnectionFormat);
    m.formatSeenBySetDataFormat.assign(bytes, bytes + pin->ConnectionFormat->FormatSize);
    m.deviceStateSeenBySetDataFormat = pin->DeviceState;
    return m.setDataFormatStatus;
}

inline NTSTATUS PinCreate(PKSPIN pin, PIRP irp) {
    MiniDriver& m = Mini();
    m.Enter("PinCreate");
    m.Log(Format("PinCreate irp=%d", irp != nullptr ? 1 : 0));
    m.lastPin = pin;
    m.pinContextAtCreate = pin->Context;
    TestItem* item = NewItem("pin-item");
    NTSTATUS status = KsAddItemToObjectBag(pin->Bag, item, FreeItem);
    if (!NT_SUCCESS(status)) {
        ExFreePool(item);
        return status;
    }
    pin->Context = item;
    pin->StreamHeaderSize = m.streamHeaderSize;
    if (m.pinCreated) {
        m.pinCreated(pin);
    }
    return m.pinCreateStatus;
}

inline NTSTATUS PinClose(PKSPIN pin, PIRP) {
    Mini().Enter("PinClose");
    Mini().Log(Format("PinClose state=%d", pin->DeviceState));
    return STATUS_SUCCESS;
}

inline NTSTATUS PinSetDeviceState(PKSPIN pin, KSSTATE to, KSSTATE from) {
    Mini().Enter("PinSetDeviceState");
    Mini().Log(Format("State %d<-%d device=%d", to, from, pin->DeviceState));
    return Mini().setDeviceState ? Mini().setDeviceState(pin, to, from) : STATUS_SUCCESS;
}

inline NTSTATUS PinProcess(PKSPIN pin) {
    MiniDriver& m = Mini();
    if (m.processRunning.fetch_add(1) != 0) {
        ++m.processOverlaps;
    }
    if (KeGetCurrentIrql() != PASSIVE_LEVEL) {
        ++m.processAtRaisedIrql;
    }
    {
        std::lock_guard<std::mutex> lock(m.mutex);
        m.processThread = std::this_thread::get_id();
        m.log.push_back("Process");
    }
    ++m.processCalls;
    NTSTATUS status = m.process ? m.process(pin) : StandardProcess(pin);
    m.processRunning.fetch_sub(1);
    return status;
}

inline NTSTATUS PinIntersect(PVOID context, PIRP irp, PKSP_PIN, PKSDATARANGE callerRange,
                             PKSDATARANGE pinRange, ULONG bufferSize, PVOID data, PULONG dataSize) {
    MiniDriver& m = Mini();
    auto name = [](const GUID& sub) {
        return sub == kSubA       ? "A"
               : sub == kSubB     ? "B"
               : sub == kSubC     ? "C"
               : sub == kWildcard ? "*"
                                  : "?";
    };
    m.intersectPairs.push_back(std::string(name(callerRange->SubFormat)) + "/" +
                               name(pinRange->SubFormat));
    m.handlerFilter = static_cast<PKSFILTER>(context);
    m.handlerIrql = KeGetCurrentIrql();
    (void)irp;
    if (m.intersect) {
        return m.intersect(callerRange, pinRange, bufferSize, data, dataSize);
    }
    // A caller range with SampleSize 0xDEAD never matches.
    if (callerRange->SampleSize == 0xDEAD) {
        return STATUS_NO_MATCH;
    }
    if (bufferSize == 0) {
        *dataSize = kIntersectAnswer;
        return STATUS_BUFFER_OVERFLOW;
    }
    if (bufferSize < kIntersectAnswer) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    std::memcpy(data, pinRange, sizeof(KSDATAFORMAT));
    static_cast<KSDATAFORMAT*>(data)->FormatSize = kIntersectAnswer;
    ULONGLONG which = pinRange->SubFormat == kSubA ? 0 : 1;
    std::memcpy(static_cast<UCHAR*>(data) + sizeof(KSDATAFORMAT), &which, sizeof which);
    *dataSize = kIntersectAnswer;
    return STATUS_SUCCESS;
}

inline const KSPIN_DISPATCH kCaptureDispatch = {
    PinCreate,         PinClose, PinProcess, nullptr, PinSetDataFormat,
    PinSetDeviceState, nullptr,  nullptr,    nullptr, nullptr};
inline const KSPIN_DISPATCH kLooseDispatch = {nullptr, nullptr, PinProcess, nullptr, nullptr,
                                              nullptr, nullptr, nullptr,    nullptr, nullptr};

struct RangeA {
    KSDATARANGE range;
    ULONG extra;
};

inline RangeA gRangeA = {{{68, 0, 1000, 0, kMajorVideo, kSubA, kSpecifierVideoInfo}}, 0xA11A};
inline KSDATARANGE gRangeB = {{64, 0, 2000, 0, kMajorVideo, kSubB, kSpecifierOther}};
inline KSDATARANGE gRangeAny = {{64, 0, 0, 0, kMajorVideo, kWildcard, kWildcard}};

inline const PKSDATARANGE kCaptureRanges[] = {&gRangeA.range, &gRangeB};
inline const PKSDATARANGE kLooseRanges[] = {&gRangeAny};

inline const KSALLOCATOR_FRAMING_EX kFraming = {
    1,
    0,
    {1, 1, 0},
    0,
    {{kWildcard, kWildcard, 0, 0, 0, 3, 0, 0, {0, 0xFFFFFFFF, 1}, {{4096, 4096, 1}, 0, 0}}}};

inline const GUID kPinCategory = KsGuid(STATIC_PINNAME_VIDEO_CAPTURE);

inline const KSPIN_DESCRIPTOR_EX kPins[] = {
    {&kCaptureDispatch,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      2,
      kCaptureRanges,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_BOTH,
      &kPinCategory,
      &kPinCategory,
      {0}},
     KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY,
     1,
     1,
     &kFraming,
     PinIntersect},
    {&kLooseDispatch,
     nullptr,
     {0,
      nullptr,
      0,
      nullptr,
      1,
      kLooseRanges,
      KSPIN_DATAFLOW_OUT,
      KSPIN_COMMUNICATION_SINK,
      nullptr,
      nullptr,
      {0}},
     0,
     2,
     0,
     nullptr,
     nullptr},
};

inline const GUID kFilterCategories[] = {kCategoryVideo, kCategoryCapture};
inline const GUID kReferenceGuid = KsGuid(STATIC_KSNAME_Filter);

inline const KSFILTER_DESCRIPTOR kFilterDescriptor = {&kFilterDispatch,
                                                      &kFilterAutomation,
                                                      KSFILTER_DESCRIPTOR_VERSION,
                                                      0,
                                                      &kReferenceGuid,
                                                      2,
                                                      sizeof(KSPIN_DESCRIPTOR_EX),
                                                      kPins,
                                                      2,
                                                      kFilterCategories,
                                                      0,
                                                      sizeof(KSNODE_DESCRIPTOR),
                                                      nullptr,
                                                      0,
                                                      nullptr,
                                                      nullptr};

// ---- device ------------------------------------------------------------------

inline NTSTATUS DeviceAdd(PKSDEVICE device) {
    Mini().Log("Add");
    Mini().device = device;
    TestItem* item = NewItem("device-context");
    KsAcquireDevice(device);
    NTSTATUS status = KsAddItemToObjectBag(device->Bag, item, FreeItem);
    KsReleaseDevice(device);
    if (!NT_SUCCESS(status)) {
        ExFreePool(item);
        return status;
    }
    if (!NT_SUCCESS(Mini().addStatus)) {
        return Mini().addStatus;  // the item is in the bag: the failed device frees it
    }
    device->Context = item;
    return STATUS_SUCCESS;
}

inline NTSTATUS DeviceStart(PKSDEVICE device, PIRP irp, PCM_RESOURCE_LIST translated,
                            PCM_RESOURCE_LIST untranslated) {
    Mini().Log(Format("Start started=%d irp=%d resources=%d", device->Started ? 1 : 0,
                      irp != nullptr ? 1 : 0,
                      translated != nullptr || untranslated != nullptr ? 1 : 0));
    if (Mini().startHook) {
        Mini().startHook(device);
    }
    if (!NT_SUCCESS(Mini().startStatus)) {
        return Mini().startStatus;
    }
    // One factory at a time: none again for a start of a started device
    // (Started alone cannot tell: the class library may set it before Start).
    if (!Mini().factoryInStart || Mini().factoryLive) {
        return STATUS_SUCCESS;
    }
    // KsCreateFilterFactory needs the device mutex; the class library may
    // hold it around Start already (variant device-mutex-at-start), and it is
    // not recursive.
    const bool platformHolds = host::Variants::Is(host::Variant::DeviceMutexAtStart, "held");
    if (!platformHolds) {
        KsAcquireDevice(device);
    }
    NTSTATUS status =
        KsCreateFilterFactory(device->FunctionalDeviceObject, &kFilterDescriptor, u"GLOBAL",
                              nullptr, Mini().factoryFlags, nullptr, nullptr, nullptr);
    if (!platformHolds) {
        KsReleaseDevice(device);
    }
    Mini().factoryLive = NT_SUCCESS(status);
    return status;
}

inline void DeviceStop(PKSDEVICE device, PIRP) {
    Mini().Log(Format("Stop started=%d", device->Started ? 1 : 0));
    if ((Mini().factoryFlags & KSCREATE_ITEM_FREEONSTOP) != 0) {
        Mini().factoryLive = false;  // the class library frees it after this
    }
}

inline void DeviceRemove(PKSDEVICE, PIRP) {
    Mini().Log("Remove");
}

inline void DeviceSetPower(PKSDEVICE, PIRP, DEVICE_POWER_STATE to, DEVICE_POWER_STATE from) {
    Mini().Log(Format("SetPower D%d<-D%d", to - PowerDeviceD0, from - PowerDeviceD0));
}

inline const KSDEVICE_DISPATCH kDeviceDispatch = {
    DeviceAdd, DeviceStart,  nullptr, nullptr, nullptr, DeviceStop,     nullptr,
    nullptr,   DeviceRemove, nullptr, nullptr, nullptr, DeviceSetPower, nullptr};

inline const KSDEVICE_DESCRIPTOR kDeviceDescriptor = {&kDeviceDispatch, 0, nullptr, 0};

inline const KSFILTER_DESCRIPTOR* const kListedFilters[] = {&kFilterDescriptor};
inline const KSDEVICE_DESCRIPTOR kListedDeviceDescriptor = {&kDeviceDispatch, 1, kListedFilters, 0};

inline NTSTATUS MiniDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &kDeviceDescriptor);
}

inline NTSTATUS ListedDriverEntry(PDRIVER_OBJECT driver, PUNICODE_STRING path) {
    return KsInitializeDriver(driver, path, &kListedDeviceDescriptor);
}

// ---- formats -----------------------------------------------------------------

// A connection format: a KSDATAFORMAT of `size` bytes (the rest zero).
inline std::vector<UCHAR> MakeFormat(const GUID& major, const GUID& sub, const GUID& specifier,
                                     ULONG size = sizeof(KSDATAFORMAT)) {
    std::vector<UCHAR> bytes(size, 0);
    KSDATAFORMAT format;
    std::memset(&format, 0, sizeof format);
    format.FormatSize = size;
    format.MajorFormat = major;
    format.SubFormat = sub;
    format.Specifier = specifier;
    std::memcpy(bytes.data(), &format, std::min<size_t>(size, sizeof format));
    return bytes;
}

inline std::vector<UCHAR> FormatA() {
    return MakeFormat(kMajorVideo, kSubA, kSpecifierVideoInfo, 80);
}

// ---- fixture -----------------------------------------------------------------

// Loads the minidriver, adds its device, starts it and opens a filter.
struct Rig {
    std::unique_ptr<host::Driver> driver;
    std::unique_ptr<host::Device> device;
    std::unique_ptr<host::FilterHandle> filter;
    std::unique_ptr<host::PinHandle> pin;

    void Reset() {
        pin.reset();
        filter.reset();
        device.reset();
        driver.reset();
    }
};

template <class Base>
class KsTestBase : public Base {
  protected:
    void SetUp() override {
        Base::SetUp();
        ResetMini();
        host::KsFaults::Clear();
    }
    void TearDown() override {
        rig.Reset();
        host::KsFaults::Clear();
        Base::TearDown();
    }

    // Load, add and start; returns the first failing status.
    NTSTATUS StartDevice(host::DriverEntryRoutine entry = MiniDriverEntry) {
        NTSTATUS status = host::Driver::Load(entry, &rig.driver);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        status = rig.driver->AddDevice(&rig.device);
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return rig.device->Start();
    }
    NTSTATUS OpenFilter() {
        NTSTATUS status = StartDevice();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        return rig.device->OpenFilter(kCategoryVideo, &rig.filter);
    }
    // Opens the capture pin with format A.
    NTSTATUS OpenCapturePin(const host::PinOptions& options = host::PinOptions()) {
        NTSTATUS status = OpenFilter();
        if (!NT_SUCCESS(status)) {
            return status;
        }
        std::vector<UCHAR> format = FormatA();
        return rig.filter->CreatePin(kCapturePin, format.data(), static_cast<ULONG>(format.size()),
                                     &rig.pin, options);
    }

    Rig rig;
};

using KsTest = KsTestBase<KernelTestFixture>;
using KsRealClockTest = KsTestBase<RealClockKernelTestFixture>;

}  // namespace ksmini
