// The outcome of one request through a transport, in terms both platforms
// share: the kernel's NTSTATUS on the host, the Win32 error that
// DeviceIoControl and KsCreatePin report on Windows, sorted into the few
// kinds the callers act on, with the platform's own code kept for messages.
#pragma once

#include <cstdint>
#include <string>

namespace vcam {

enum class KsOutcome {
    kOk,
    kMoreData,   // a size query: `returned` is the size (STATUS_BUFFER_OVERFLOW, ERROR_MORE_DATA)
    kTooSmall,   // the value buffer is too short (STATUS_BUFFER_TOO_SMALL,
                 // ERROR_INSUFFICIENT_BUFFER)
    kNotFound,   // no such property, set or object
    kBusy,       // held by another client (sharing violation, instance limit)
    kCancelled,  // a read given back unfilled at stop
    kFailed,     // anything else
};

struct KsResult {
    KsOutcome outcome = KsOutcome::kFailed;
    uint32_t returned = 0;  // bytes the request returned (Information, BytesReturned)
    std::string detail;     // the platform's code by name, for messages

    bool Ok() const { return outcome == KsOutcome::kOk; }
};

}  // namespace vcam
