#include "tools/vcam/transport/HostTransport.h"

#include <host/executive/HostKernel.h>

#include "host/client/PinHandle.h"
#include "host/ks/KsStatus.h"
#include "tools/vcam/Interrupt.h"
#include "tools/vcam/Names.h"

#include <algorithm>
#include <chrono>
#include <deque>
#include <thread>
#include <unordered_map>

namespace vcam {

namespace {

using host::HostKernel;

class HostPinChannel : public KsPinChannel {
  public:
    explicit HostPinChannel(std::unique_ptr<host::PinHandle> pin) : pin_(std::move(pin)) {}

    KsResult Property(const std::vector<uint8_t>& request, void* value, uint32_t length) override {
        ULONG returned = 0;
        NTSTATUS status = pin_->Ioctl(request.data(), static_cast<ULONG>(request.size()), value,
                                      length, &returned);
        return HostTransport::Result(status, returned);
    }

    KsResult SubmitRead(KsRead* read) override {
        uint64_t ticket = 0;
        read->back = false;
        NTSTATUS status =
            pin_->ReadStream(read->header.data(), static_cast<ULONG>(read->header.size()), &ticket);
        if (NT_SUCCESS(status)) {
            pending_.push_back(read);
            tickets_[ticket] = read;
        }
        return HostTransport::Result(status, 0);
    }

    KsRead* WaitRead(uint32_t milliseconds) override {
        if (pending_.empty()) return nullptr;
        Collect();
        if (pending_.front()->back) return Pop();
        if (pin_->WaitForCompletion(std::chrono::milliseconds(milliseconds)) != STATUS_SUCCESS) {
            return nullptr;
        }
        Collect();
        return pending_.front()->back ? Pop() : nullptr;
    }

    size_t Pending() const override { return pending_.size(); }

    void Close() override {
        pin_->Close();
        Collect();
    }

  private:
    // Takes every completion the pin has and writes it back into its read,
    // as the I/O manager copies the header back into the caller's buffer.
    void Collect() {
        host::CompletedFrame frame;
        while (pin_->TakeCompleted(&frame) == STATUS_SUCCESS) {
            auto found = tickets_.find(frame.ticket);
            if (found == tickets_.end()) continue;
            KsRead* read = found->second;
            tickets_.erase(found);
            const size_t length = std::min(frame.headerBytes.size(), read->header.size());
            std::copy(frame.headerBytes.begin(), frame.headerBytes.begin() + length,
                      read->header.begin());
            read->result = HostTransport::Result(frame.status, 0);
            read->back = true;
        }
    }

    KsRead* Pop() {
        KsRead* read = pending_.front();
        pending_.pop_front();
        return read;
    }

    std::unique_ptr<host::PinHandle> pin_;           // the pin; closed with the channel
    std::deque<KsRead*> pending_;                    // reads sent, oldest first
    std::unordered_map<uint64_t, KsRead*> tickets_;  // ticket -> read not yet back
};

}  // namespace

KsResult HostTransport::Result(NTSTATUS status, ULONG returned) {
    KsResult result;
    result.returned = returned;
    result.detail = Names::Status(status);
    switch (status) {
        case STATUS_SUCCESS:
            result.outcome = KsOutcome::kOk;
            break;
        case STATUS_BUFFER_OVERFLOW:
            result.outcome = KsOutcome::kMoreData;
            break;
        case STATUS_BUFFER_TOO_SMALL:
            result.outcome = KsOutcome::kTooSmall;
            break;
        case STATUS_NOT_FOUND:
        case STATUS_PROPSET_NOT_FOUND:
        case STATUS_OBJECT_NAME_NOT_FOUND:
            result.outcome = KsOutcome::kNotFound;
            break;
        case STATUS_SHARING_VIOLATION:
        case STATUS_QUOTA_EXCEEDED:
            result.outcome = KsOutcome::kBusy;
            break;
        case STATUS_CANCELLED:
            result.outcome = KsOutcome::kCancelled;
            break;
        default:
            result.outcome = NT_SUCCESS(status) ? KsOutcome::kOk : KsOutcome::kFailed;
    }
    return result;
}

std::string HostTransport::Describe() const {
    return std::string("the host kernel (") +
           (HostKernel::Mode() == host::ClockMode::Virtual ? "virtual" : "real") + " clock)";
}

KsResult HostTransport::FilterProperty(const std::vector<uint8_t>& request, void* value,
                                       uint32_t length) {
    ULONG returned = 0;
    NTSTATUS status =
        filter_.Ioctl(request.data(), static_cast<ULONG>(request.size()), value, length, &returned);
    return Result(status, returned);
}

KsResult HostTransport::CreatePin(const std::vector<uint8_t>& connect,
                                  std::unique_ptr<KsPinChannel>* pin) {
    pin->reset();
    std::unique_ptr<host::PinHandle> handle;
    NTSTATUS status =
        filter_.CreatePinFromConnect(connect.data(), static_cast<ULONG>(connect.size()), &handle);
    if (NT_SUCCESS(status)) pin->reset(new HostPinChannel(std::move(handle)));
    return Result(status, 0);
}

int64_t HostTransport::Now() {
    return HostKernel::Now();
}

bool HostTransport::WaitUntil(int64_t time) {
    if (HostKernel::Mode() == host::ClockMode::Virtual) {
        // Every timer due up to `time` runs first, in order.
        if (time > HostKernel::Now()) HostKernel::AdvanceTo(time);
        return !Interrupt::Requested();
    }
    for (;;) {
        const int64_t wait = time - HostKernel::Now();
        if (wait <= 0) return true;
        if (Interrupt::Requested()) return false;
        // Short slices keep the wait responsive to Ctrl-C.
        std::this_thread::sleep_for(std::chrono::microseconds(std::min<int64_t>(wait / 10, 50000)));
    }
}

}  // namespace vcam
