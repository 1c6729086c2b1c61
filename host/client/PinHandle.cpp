#include "host/client/PinHandle.h"

#include <host/executive/HostKernel.h>

#include "host/ks/KsFilterObject.h"
#include "host/ks/KsPinObject.h"
#include "host/ks/KsPinProcessor.h"
#include "host/ks/KsStatus.h"
#include "host/ks/KsStreamQueue.h"

#include <algorithm>
#include <cstring>
#include <vector>

namespace host {

namespace {

const GUID kConnectionSet = {
    0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
constexpr ULONG kConnectionState = 0;
constexpr ULONG kConnectionAllocatorFramingEx = 6;

// The value checks of a get or set of `size` bytes into `outputLength`.
NTSTATUS CheckValueBuffer(ULONG size, ULONG outputLength, ULONG* returned) {
    if (outputLength == 0) {
        *returned = size;
        return STATUS_BUFFER_OVERFLOW;
    }
    return outputLength < size ? STATUS_BUFFER_TOO_SMALL : STATUS_SUCCESS;
}

// A client's stream header for a buffer: the fields a client writes, and the
// fields the driver must write filled with `fill` (see PinOptions).
std::vector<uint64_t> ClientHeader(void* buffer, ULONG size, ULONG headerSize, ULONG dataUsed,
                                   uint8_t fill) {
    std::vector<uint64_t> block((headerSize + 7) / 8, 0);
    auto* header = reinterpret_cast<PKSSTREAM_HEADER>(block.data());
    header->Size = headerSize;
    std::memset(&header->PresentationTime, fill, sizeof header->PresentationTime);
    std::memset(&header->Duration, fill, sizeof header->Duration);
    std::memset(&header->OptionsFlags, fill, sizeof header->OptionsFlags);
    header->FrameExtent = size;
    header->DataUsed = dataUsed;
    header->Data = buffer;
    if (headerSize >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
        auto* info = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
        std::memset(&info->ExtendedHeaderSize, fill, sizeof info->ExtendedHeaderSize);
        std::memset(&info->dwFrameFlags, fill, sizeof info->dwFrameFlags);
        std::memset(&info->PictureNumber, fill, sizeof info->PictureNumber);
        std::memset(&info->DropCount, fill, sizeof info->DropCount);
        std::memset(&info->FrameCompletionNumber, fill, sizeof info->FrameCompletionNumber);
    }
    return block;
}

}  // namespace

PinHandle::PinHandle(std::shared_ptr<ks::KsFilterObject> filter,
                     std::shared_ptr<ks::KsPinObject> pin, const PinOptions& options)
    : filter_(std::move(filter)), pin_(std::move(pin)), options_(options) {}

PinHandle::~PinHandle() {
    Close();
}

NTSTATUS PinHandle::SetState(KSSTATE state) {
    return pin_->SetState(state);
}

KSSTATE PinHandle::State() const {
    return pin_->State();
}

NTSTATUS PinHandle::SetFormat(const void* format, ULONG formatLength) {
    return pin_->SetFormat(format, formatLength);
}

NTSTATUS PinHandle::Submit(void* buffer, ULONG size, uint64_t* ticket) {
    return SubmitWithHeaderSize(buffer, size, pin_->HeaderSize(), ticket);
}

NTSTATUS PinHandle::SubmitWithHeaderSize(void* buffer, ULONG size, ULONG headerSize,
                                         uint64_t* ticket) {
    if (headerSize == 0) {
        return STATUS_INVALID_PARAMETER;
    }
    const ULONG dataUsed =
        pin_->KsPin()->DataFlow == KSPIN_DATAFLOW_IN ? size : options_.submitDataUsed;
    std::vector<uint64_t> header =
        ClientHeader(buffer, size, std::max<ULONG>(headerSize, sizeof(KSSTREAM_HEADER)), dataUsed,
                     options_.headerFill);
    return pin_->Submit(header.data(), headerSize, ticket);
}

NTSTATUS PinHandle::SetMasterClock() {
    return pin_->AssignMasterClock();
}

int PinHandle::ProcessingMutexWaiters() const {
    return pin_->Processor()->DriverWaiters();
}

bool PinHandle::HasMasterClock() const {
    return pin_->HasMasterClock();
}

bool PinHandle::ClockCorrelatedTime(int64_t* streamTime, int64_t* systemTime) const {
    LONGLONG stream = 0;
    LONGLONG system = 0;
    if (!pin_->ClockCorrelatedTime(&stream, &system)) {
        return false;
    }
    *streamTime = stream;
    *systemTime = system;
    return true;
}

NTSTATUS PinHandle::ReadStream(const void* headers, ULONG length, uint64_t* ticket) {
    if (headers == nullptr || length < sizeof(KSSTREAM_HEADER)) {
        return STATUS_INVALID_PARAMETER;
    }
    KSSTREAM_HEADER header;
    std::memcpy(&header, headers, sizeof header);
    if (header.Size < sizeof(KSSTREAM_HEADER) || header.Size != length) {
        return STATUS_INVALID_PARAMETER;
    }
    // The client's header bytes arrive as it wrote them, fields the driver
    // must fill included.
    return pin_->Submit(headers, header.Size, ticket);
}

NTSTATUS PinHandle::CancelRead(uint64_t ticket) {
    return pin_->Queue()->CancelRead(ticket);
}

NTSTATUS PinHandle::Ioctl(const void* input, ULONG inputLength, void* output, ULONG outputLength,
                          ULONG* returned) {
    ULONG ignored = 0;
    if (returned == nullptr) returned = &ignored;
    *returned = 0;
    if (input == nullptr || inputLength < sizeof(KSPROPERTY)) {
        return STATUS_BUFFER_TOO_SMALL;
    }
    KSPROPERTY property;
    std::memcpy(&property, input, sizeof property);
    if (!(property.Set == kConnectionSet)) {
        return STATUS_PROPSET_NOT_FOUND;
    }
    const ULONG operation = property.Flags & (KSPROPERTY_TYPE_GET | KSPROPERTY_TYPE_SET);
    if (property.Id == kConnectionState) {
        NTSTATUS status = CheckValueBuffer(sizeof(KSSTATE), outputLength, returned);
        if (status != STATUS_SUCCESS) return status;
        if (operation == KSPROPERTY_TYPE_GET) {
            const KSSTATE state = State();
            std::memcpy(output, &state, sizeof state);
            *returned = sizeof state;
            return STATUS_SUCCESS;
        }
        if (operation == KSPROPERTY_TYPE_SET) {
            KSSTATE state;
            std::memcpy(&state, output, sizeof state);
            if (state < KSSTATE_STOP || state > KSSTATE_RUN) return STATUS_INVALID_PARAMETER;
            return SetState(state);
        }
        return STATUS_INVALID_PARAMETER;
    }
    if (property.Id == kConnectionAllocatorFramingEx && operation == KSPROPERTY_TYPE_GET) {
        KSALLOCATOR_FRAMING_EX framing;
        NTSTATUS status = GetAllocatorFraming(&framing);
        if (!NT_SUCCESS(status)) return status;
        status = CheckValueBuffer(sizeof framing, outputLength, returned);
        if (status != STATUS_SUCCESS) return status;
        std::memcpy(output, &framing, sizeof framing);
        *returned = sizeof framing;
        return STATUS_SUCCESS;
    }
    return STATUS_NOT_FOUND;
}

NTSTATUS PinHandle::WaitForCompletion(std::chrono::milliseconds timeout) {
    const auto& queue = pin_->Queue();
    if (HostKernel::Mode() == ClockMode::Real) {
        return queue->WaitCompleted(std::chrono::steady_clock::now() + timeout) ? STATUS_SUCCESS
                                                                                : STATUS_TIMEOUT;
    }
    // Virtual clock: move time to each timer as it falls due until a buffer
    // is back or the time-out has passed.
    const int64_t deadline = HostKernel::Now() + static_cast<int64_t>(timeout.count()) * 10000;
    for (;;) {
        if (queue->CompletedCount() != 0) {
            return STATUS_SUCCESS;
        }
        int64_t now = HostKernel::Now();
        if (now >= deadline) {
            return STATUS_TIMEOUT;
        }
        // The clock interrupt at which the next timer expires, not its due
        // time: a timer fires only at an interrupt.
        int64_t next = HostKernel::NextExpiry();
        HostKernel::AdvanceTo(next >= 0 && next <= deadline ? std::max(next, now) : deadline);
    }
}

NTSTATUS PinHandle::TakeCompleted(CompletedFrame* frame) {
    ks::KsCompletedFrame done;
    if (!pin_->Queue()->TakeCompleted(&done)) {
        return STATUS_NO_MORE_ENTRIES;
    }
    *frame = CompletedFrame();
    frame->ticket = done.ticket;
    frame->status = done.status;
    std::memcpy(&frame->header, done.header.data(),
                std::min(done.header.size(), sizeof(KSSTREAM_HEADER)));
    frame->hasFrameInfo = done.header.size() >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    if (frame->hasFrameInfo) {
        std::memcpy(&frame->frameInfo, done.header.data() + sizeof(KSSTREAM_HEADER),
                    sizeof(KS_FRAME_INFO));
    }
    frame->headerBytes.assign(done.header.begin(), done.header.end());
    frame->data = done.data;
    frame->bufferSize = done.bufferSize;
    return STATUS_SUCCESS;
}

size_t PinHandle::CompletedCount() const {
    return pin_->Queue()->CompletedCount();
}

NTSTATUS PinHandle::Close() {
    if (pin_->Closed()) {
        return STATUS_INVALID_HANDLE;
    }
    filter_->ClosePin(pin_);
    return STATUS_SUCCESS;
}

NTSTATUS PinHandle::GetAllocatorFraming(KSALLOCATOR_FRAMING_EX* framing) const {
    const KSPIN_DESCRIPTOR_EX* descriptor = pin_->KsPin()->Descriptor;
    if (descriptor == nullptr || descriptor->AllocatorFraming == nullptr) {
        return STATUS_NOT_FOUND;
    }
    *framing = *descriptor->AllocatorFraming;
    return STATUS_SUCCESS;
}

ULONG PinHandle::StreamHeaderSize() const {
    return pin_->HeaderSize();
}

PKSPIN PinHandle::KsPin() const {
    return pin_->KsPin();
}

}  // namespace host
