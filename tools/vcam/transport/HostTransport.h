// The transport on the host kernel (Linux): a filter opened through
// host/client, reached only through its request entry points, which take
// the same bytes a user-mode client hands to DeviceIoControl and KsCreatePin
// on Windows (FilterHandle::Ioctl, FilterHandle::CreatePinFromConnect,
// PinHandle::Ioctl, PinHandle::ReadStream). The clock is the host kernel's
// system time: on the virtual clock, waits move time themselves.
#pragma once

#include "host/client/FilterHandle.h"
#include "tools/vcam/device/KsTransport.h"

namespace vcam {

class HostTransport : public KsTransport {
  public:
    // `filter` is the caller's and outlives the transport and its pins.
    explicit HostTransport(host::FilterHandle& filter) : filter_(filter) {}

    std::string Describe() const override;
    KsResult FilterProperty(const std::vector<uint8_t>& request, void* value,
                            uint32_t length) override;
    KsResult CreatePin(const std::vector<uint8_t>& connect,
                       std::unique_ptr<KsPinChannel>* pin) override;
    int64_t Now() override;
    bool WaitUntil(int64_t time) override;

    // NTSTATUS as a transport result, with `returned`.
    static KsResult Result(NTSTATUS status, ULONG returned);

  private:
    host::FilterHandle& filter_;  // the caller's
};

}  // namespace vcam
