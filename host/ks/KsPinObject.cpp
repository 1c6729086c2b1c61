#include "host/loader/ImageBoundary.h"
#include "host/ks/KsPinObject.h"

#include "host/ks/KsCallbackDeadline.h"
#include "host/ks/KsClientCall.h"
#include "host/ks/KsFilterObject.h"
#include "host/ks/KsObjectTable.h"
#include "host/ks/KsPinFactoryProperties.h"
#include "host/ks/KsPinProcessor.h"
#include "host/ks/KsReferenceClock.h"
#include "host/ks/KsRequest.h"
#include "host/ks/KsRules.h"
#include "host/ks/KsStatus.h"
#include "host/ks/KsStreamQueue.h"
#include "host/variants/Variants.h"

#include <cstring>

namespace host::ks {

namespace {

// The pin factory's data range the format pairs with, or nullptr.
const KSDATARANGE* PairedRange(const KSPIN_DESCRIPTOR_EX* descriptor, const KSDATAFORMAT& format) {
    const KSPIN_DESCRIPTOR& pin = descriptor->PinDescriptor;
    if (pin.DataRanges == nullptr) {
        return nullptr;
    }
    for (ULONG i = 0; i < pin.DataRangesCount; ++i) {
        if (KsPinFactoryProperties::Pairs(format, *pin.DataRanges[i])) {
            return pin.DataRanges[i];
        }
    }
    return nullptr;
}

// A connection format must be at least a KSDATAFORMAT and lie within the
// bytes the client gave.
NTSTATUS CheckFormat(const void* format, ULONG formatLength, KSDATAFORMAT* header) {
    if (format == nullptr || formatLength < sizeof(KSDATAFORMAT)) {
        return STATUS_INVALID_PARAMETER;
    }
    std::memcpy(header, format, sizeof *header);
    if (header->FormatSize < sizeof(KSDATAFORMAT) || header->FormatSize > formatLength) {
        return STATUS_INVALID_PARAMETER;
    }
    return STATUS_SUCCESS;
}

// SetDeviceState and SetDataFormat may not pend: the platform completes
// state and format requests when they return.
NTSTATUS NoPending(NTSTATUS status, const char* routine, const void* code) {
    if (status == STATUS_PENDING) {
        KsRules::Report(Rule::KsObject, routine, KsRules::RoutineSite(code),
                        "returned STATUS_PENDING, which this callback may not return");
        return STATUS_UNSUCCESSFUL;
    }
    return status;
}

}  // namespace

KsPinObject::KsPinObject(KsFilterObject* filter, ULONG pinId, const KSPIN_DESCRIPTOR_EX* descriptor,
                         const KsPinOptions& options)
    : filter_(filter),
      bag_("pin"),
      clock_(nullptr),
      clockAt_(options.clock),
      state_(KSSTATE_STOP),
      minimumProcessingState_(KSSTATE_RUN),
      closed_(false) {
    std::memset(&ksPin_, 0, sizeof ksPin_);
    ksPin_.Descriptor = descriptor;
    ksPin_.Bag = bag_.Handle();
    bag_.SetGuard("the filter control mutex",
                  [filter] { return filter->ControlMutexHeldByCurrentThread(); });
    // A new pin starts with its filter's Context (ks/ns-ks-_kspin).
    ksPin_.Context = filter->KsFilter()->Context;
    ksPin_.Id = pinId;
    // A client connects as the sink of the pin's data (or its source for a
    // pin that can only be a source).
    ksPin_.Communication = descriptor->PinDescriptor.Communication == KSPIN_COMMUNICATION_SOURCE
                               ? KSPIN_COMMUNICATION_SOURCE
                               : KSPIN_COMMUNICATION_SINK;
    ksPin_.ConnectionIsExternal = TRUE;
    ksPin_.ConnectionPriority.PriorityClass = 0x40000000;  // KSPRIORITY_NORMAL
    ksPin_.ConnectionPriority.PrioritySubClass = 1;
    ksPin_.StreamHeaderSize = sizeof(KSSTREAM_HEADER);
    ksPin_.DataFlow = descriptor->PinDescriptor.DataFlow;
    ksPin_.DeviceState = KSSTATE_STOP;
    ksPin_.ResetState = KSRESET_END;
    ksPin_.ClientState = KSSTATE_STOP;
    if (clockAt_ == KsPinOptions::ClockAt::Creation) {
        clock_ = new KsReferenceClock(&state_);
    }
}

KsPinOptions::ClockAt KsPinOptions::ClockFromVariant() {
    if (Variants::Is(Variant::MasterClock, "before-pause")) {
        return ClockAt::AcquireToPause;
    }
    if (Variants::Is(Variant::MasterClock, "never")) {
        return ClockAt::Never;
    }
    return ClockAt::Creation;
}

bool KsPinObject::SerializedWithProcess() {
    return Variants::Is(Variant::ProcessDuringStateChange, "serialized");
}

KsPinObject::~KsPinObject() {
    if (processor_ != nullptr) {
        processor_->Shutdown();
    }
    ReleaseClock();
}

NTSTATUS KsPinObject::Create(KsFilterObject* filter, ULONG pinId,
                             const KSPIN_DESCRIPTOR_EX* descriptor, const void* format,
                             ULONG formatLength, const KsPinOptions& options,
                             std::shared_ptr<KsPinObject>* pin) {
    KSDATAFORMAT header;
    NTSTATUS status = CheckFormat(format, formatLength, &header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const KSDATARANGE* range = PairedRange(descriptor, header);
    if (range == nullptr) {
        return STATUS_NO_MATCH;
    }
    auto made = std::make_shared<KsPinObject>(filter, pinId, descriptor, options);
    status = made->Initialize(format, header.FormatSize, range);
    if (!NT_SUCCESS(status)) {
        made->DeleteFailed();
        return status;
    }
    *pin = std::move(made);
    return STATUS_SUCCESS;
}

NTSTATUS KsPinObject::Initialize(const void* format, ULONG formatLength, const KSDATARANGE* range) {
    format_.reset(new UCHAR[formatLength]);
    std::memcpy(format_.get(), format, formatLength);
    ksPin_.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(format_.get());
    queue_ = std::make_shared<KsStreamQueue>(&ksPin_, ksPin_.DataFlow);
    queue_->Initialize();
    processor_ = std::make_shared<KsPinProcessor>(this);
    KsObjectEntry entry;
    entry.kind = KsObjectKind::Pin;
    entry.device = filter_->Device();
    entry.filter = filter_;
    entry.pin = shared_from_this();
    KsObjectTable::Add(&ksPin_, entry);

    // The format is accepted before the pin's Create runs.
    NTSTATUS status = CallSetDataFormat(nullptr, range);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Create != nullptr) {
        // Under the filter's control mutex (the filter's CreatePin holds it);
        // no Process can run before the processor starts below.
        KsRequest request(IRP_MJ_CREATE, filter_, this);
        {
            KsCallbackDeadline deadline("pin Create",
                                        reinterpret_cast<const void*>(dispatch->Create));
            status = CallDriver(dispatch->Create, &ksPin_, request.Irp());
        }
        status = NoPending(status, "pin Create", reinterpret_cast<const void*>(dispatch->Create));
        if (!NT_SUCCESS(status)) {
            return status;
        }
    }
    UpdateMinimumProcessingState();
    processor_->Start();
    return STATUS_SUCCESS;
}

NTSTATUS KsPinObject::CallSetDataFormat(PKSDATAFORMAT oldFormat, const KSDATARANGE* range) {
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    if (dispatch == nullptr || dispatch->SetDataFormat == nullptr) {
        return STATUS_SUCCESS;
    }
    // The filter's control mutex is held by the caller.
    const bool serialized = SerializedWithProcess();
    if (serialized) {
        processor_->BlockPasses();
    }
    NTSTATUS status;
    {
        KsCallbackDeadline deadline("pin SetDataFormat",
                                    reinterpret_cast<const void*>(dispatch->SetDataFormat));
        status = CallDriver(dispatch->SetDataFormat, &ksPin_, oldFormat, nullptr, range, nullptr);
    }
    if (serialized) {
        processor_->UnblockPasses();
    }
    return NoPending(status, "pin SetDataFormat",
                     reinterpret_cast<const void*>(dispatch->SetDataFormat));
}

void KsPinObject::DeleteFailed() {
    closed_.store(true);
    if (processor_ != nullptr) {
        processor_->Shutdown();
    }
    if (queue_ != nullptr) {
        queue_->ReleaseAtClose();
    }
    ReleaseClock();
    KsObjectTable::Remove(&ksPin_);
    bag_.FreeAll();
}

void KsPinObject::ReleaseClock() {
    KsReferenceClock* clock;
    {
        std::lock_guard<std::mutex> lock(clockMutex_);
        clock = clock_;
        clock_ = nullptr;
    }
    if (clock == nullptr) {
        return;
    }
    ULONG held = clock->DetachFromPin();
    if (held != 0) {
        KsRules::Report(Rule::KsObject, "pin close", nullptr,
                        std::to_string(held) + " reference(s) to the reference clock of pin " +
                            std::to_string(ksPin_.Id) + " still held when the pin went away");
    }
}

void KsPinObject::UpdateMinimumProcessingState() {
    bool runOnly = (ksPin_.Descriptor->Flags & KSPIN_FLAG_PROCESS_IN_RUN_STATE_ONLY) != 0;
    minimumProcessingState_.store(runOnly ? KSSTATE_RUN : KSSTATE_PAUSE);
}

ULONG KsPinObject::HeaderSize() const {
    return ksPin_.StreamHeaderSize != 0 ? ksPin_.StreamHeaderSize : sizeof(KSSTREAM_HEADER);
}

void KsPinObject::AssignClockLocked() {
    if (clock_ == nullptr) {
        clock_ = new KsReferenceClock(&state_);
        clock_->OnPinState(state_.load());
    }
}

NTSTATUS KsPinObject::AssignMasterClock() {
    KsClientCall call;
    std::lock_guard<KsControlMutex> filterControl(filter_->ControlMutex());
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load()) {
        return STATUS_INVALID_HANDLE;
    }
    if (state_.load() > KSSTATE_ACQUIRE) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    std::lock_guard<std::mutex> lock(clockMutex_);
    AssignClockLocked();
    return STATUS_SUCCESS;
}

bool KsPinObject::HasMasterClock() {
    std::lock_guard<std::mutex> lock(clockMutex_);
    return clock_ != nullptr;
}

bool KsPinObject::ClockCorrelatedTime(LONGLONG* streamTime, LONGLONG* systemTime) {
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (clock_ == nullptr) {
        return false;
    }
    *streamTime = clock_->GetCorrelatedTime(systemTime);
    return true;
}

// The filter's control mutex and controlMutex_ are held by the caller.
NTSTATUS KsPinObject::Step(KSSTATE to, bool force) {
    const bool serialized = SerializedWithProcess();
    KSSTATE from = state_.load();
    if (from == KSSTATE_ACQUIRE && to == KSSTATE_PAUSE &&
        clockAt_ == KsPinOptions::ClockAt::AcquireToPause) {
        // The graph picks its clock as it goes to PAUSE (st/master-clocks).
        std::lock_guard<std::mutex> lock(clockMutex_);
        AssignClockLocked();
    }
    if (serialized) {
        processor_->BlockPasses();
    }
    NTSTATUS status = STATUS_SUCCESS;
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->SetDeviceState != nullptr) {
        const void* routine = reinterpret_cast<const void*>(dispatch->SetDeviceState);
        {
            KsCallbackDeadline deadline("pin SetDeviceState", routine);
            status = CallDriver(dispatch->SetDeviceState, &ksPin_, to, from);
        }
        status = NoPending(status, "pin SetDeviceState", routine);
    }
    bool taken = NT_SUCCESS(status) || force;
    if (taken) {
        ksPin_.DeviceState = to;
        state_.store(to);
        if (to == KSSTATE_STOP) {
            queue_->CheckUnlockedAtStop();
            queue_->StopClones();
            queue_->Flush();
        }
        std::lock_guard<std::mutex> lock(clockMutex_);
        if (clock_ != nullptr) {
            clock_->OnPinState(to);
        }
    }
    if (serialized) {
        processor_->UnblockPasses();
    }
    // Entering the minimum processing state triggers processing only for a
    // pin with frames queued (st/pin-centric-processing).
    if (taken && to == minimumProcessingState_.load() && from < to && queue_->FrameAtEdge()) {
        processor_->Request();
    }
    return status;
}

NTSTATUS KsPinObject::SetState(KSSTATE target) {
    KsClientCall call;
    // The platform calls SetDeviceState and SetDataFormat with the filter
    // control mutex held; it is taken before the pin's own request lock.
    std::lock_guard<KsControlMutex> filterControl(filter_->ControlMutex());
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load()) {
        return STATUS_INVALID_HANDLE;
    }
    if (target < KSSTATE_STOP || target > KSSTATE_RUN) {
        return STATUS_INVALID_PARAMETER;
    }
    // ClientState is the client's request, set before the driver is called
    // and restored when the change fails (ks/ns-ks-_kspin).
    const KSSTATE requestedBefore = ksPin_.ClientState;
    ksPin_.ClientState = target;
    while (state_.load() != target) {
        KSSTATE current = state_.load();
        KSSTATE next = static_cast<KSSTATE>(current < target ? current + 1 : current - 1);
        NTSTATUS status = Step(next, false);
        if (!NT_SUCCESS(status)) {
            ksPin_.ClientState = requestedBefore;
            return status;
        }
    }
    return STATUS_SUCCESS;
}

void KsPinObject::Sleep() {
    std::lock_guard<KsControlMutex> filterControl(filter_->ControlMutex());
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load() || state_.load() != KSSTATE_RUN) {
        return;
    }
    asleep_ = true;
    // The system sleeps whatever the driver answers.
    Step(KSSTATE_PAUSE, true);
}

NTSTATUS KsPinObject::Wake() {
    std::lock_guard<KsControlMutex> filterControl(filter_->ControlMutex());
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load() || !asleep_) {
        return STATUS_SUCCESS;
    }
    asleep_ = false;
    if (state_.load() != KSSTATE_PAUSE || ksPin_.ClientState != KSSTATE_RUN) {
        return STATUS_SUCCESS;  // the client moved it meanwhile
    }
    return Step(KSSTATE_RUN, false);
}

NTSTATUS KsPinObject::SetFormat(const void* format, ULONG formatLength) {
    KsClientCall call;
    // The platform calls SetDeviceState and SetDataFormat with the filter
    // control mutex held; it is taken before the pin's own request lock.
    std::lock_guard<KsControlMutex> filterControl(filter_->ControlMutex());
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load()) {
        return STATUS_INVALID_HANDLE;
    }
    KSDATAFORMAT header;
    NTSTATUS status = CheckFormat(format, formatLength, &header);
    if (!NT_SUCCESS(status)) {
        return status;
    }
    const KSPIN_DESCRIPTOR_EX* factory = filter_->PinFactory(ksPin_.Id);
    const KSDATARANGE* range = PairedRange(factory, header);
    if (range == nullptr) {
        return STATUS_NO_MATCH;
    }
    std::unique_ptr<UCHAR[]> proposed(new UCHAR[header.FormatSize]);
    std::memcpy(proposed.get(), format, header.FormatSize);
    // The proposed format is the connection format while SetDataFormat
    // looks at it; the old one is passed beside it.
    std::unique_ptr<UCHAR[]> old = std::move(format_);
    format_ = std::move(proposed);
    ksPin_.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(format_.get());
    status = CallSetDataFormat(reinterpret_cast<PKSDATAFORMAT>(old.get()), range);
    if (!NT_SUCCESS(status)) {
        format_ = std::move(old);
        ksPin_.ConnectionFormat = reinterpret_cast<PKSDATAFORMAT>(format_.get());
    }
    return status;
}

NTSTATUS KsPinObject::Submit(const void* header, ULONG headerSize, uint64_t* ticket) {
    KsClientCall call;
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.load()) {
        return STATUS_INVALID_HANDLE;
    }
    // A stopped pin takes no frames.
    if (state_.load() == KSSTATE_STOP) {
        return STATUS_INVALID_DEVICE_STATE;
    }
    if (header == nullptr || headerSize < sizeof(KSSTREAM_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    bool arrivedAtEmptyEdge = false;
    queue_->Submit(header, headerSize, ticket, &arrivedAtEmptyEdge);
    if (arrivedAtEmptyEdge) {
        processor_->Request();
    }
    return STATUS_SUCCESS;
}

void KsPinObject::Close() {
    KsClientCall call;
    std::lock_guard<std::mutex> control(controlMutex_);
    if (closed_.exchange(true)) {
        return;
    }
    // A pin is stopped before it goes away.
    while (state_.load() != KSSTATE_STOP) {
        Step(static_cast<KSSTATE>(state_.load() - 1), true);
    }
    processor_->Shutdown();
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    if (dispatch != nullptr && dispatch->Close != nullptr) {
        KsRequest request(IRP_MJ_CLOSE, filter_, this);
        KsCallbackDeadline deadline("pin Close", reinterpret_cast<const void*>(dispatch->Close));
        CallDriver(dispatch->Close, &ksPin_, request.Irp());
    }
    queue_->ReleaseAtClose();
    ReleaseClock();
    KsObjectTable::Remove(&ksPin_);
    bag_.FreeAll();
}

void KsPinObject::AttemptProcessing() {
    if (ProcessingAllowed()) {
        processor_->Request();
    }
}

NTSTATUS KsPinObject::ReferenceClock(PIKSREFERENCECLOCK* clock) {
    std::lock_guard<std::mutex> lock(clockMutex_);
    if (clock_ == nullptr) {
        *clock = nullptr;
        return STATUS_DEVICE_NOT_READY;
    }
    clock_->AddRef();
    *clock = clock_;
    return STATUS_SUCCESS;
}

void KsPinObject::AcquireProcessingMutex(const void* caller) {
    processor_->DriverLock(caller);
}

void KsPinObject::ReleaseProcessingMutex(const void* caller) {
    processor_->DriverUnlock(caller);
}

bool KsPinObject::ProcessingAllowed() const {
    return !closed_.load() && state_.load() >= minimumProcessingState_.load();
}

NTSTATUS KsPinObject::CallProcess() {
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    if (dispatch == nullptr || dispatch->Process == nullptr) {
        return STATUS_PENDING;
    }
    if ((ksPin_.Descriptor->Flags & KSPIN_FLAG_DISPATCH_LEVEL_PROCESSING) != 0) {
        KIRQL old;
        KeRaiseIrql(DISPATCH_LEVEL, &old);
        NTSTATUS status = CallDriver(dispatch->Process, &ksPin_);
        KeLowerIrql(old);
        return status;
    }
    return CallDriver(dispatch->Process, &ksPin_);
}

bool KsPinObject::FrameAtEdge() {
    return queue_->FrameAtEdge();
}

uint64_t KsPinObject::Generation() const {
    return queue_->Generation();
}

uint64_t KsPinObject::EdgePosition() {
    return queue_->EdgePosition();
}

const void* KsPinObject::ProcessRoutine() const {
    const KSPIN_DISPATCH* dispatch = ksPin_.Descriptor->Dispatch;
    return dispatch != nullptr ? reinterpret_cast<const void*>(dispatch->Process) : nullptr;
}

}  // namespace host::ks
