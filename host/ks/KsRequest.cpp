#include "host/ks/KsRequest.h"

#include <cstring>

namespace host::ks {

KsRequest::KsRequest(UCHAR majorFunction, KsFilterObject* filter, KsPinObject* pin)
    : magic_(kMagic), filter_(filter), pin_(pin) {
    std::memset(&file_, 0, sizeof file_);
    std::memset(&stack_, 0, sizeof stack_);
    std::memset(&irp_, 0, sizeof irp_);
    file_.FsContext = pin != nullptr ? static_cast<void*>(pin) : static_cast<void*>(filter);
    stack_.MajorFunction = majorFunction;
    stack_.FileObject = &file_;
    irp_.Size = sizeof(IRP);
    irp_.HostRequest = this;
    irp_.Tail.Overlay.CurrentStackLocation = &stack_;
    irp_.Tail.Overlay.OriginalFileObject = &file_;
}

KsRequest::~KsRequest() {
    magic_ = 0;
    irp_.HostRequest = nullptr;
}

void KsRequest::SetDeviceIoControl(ULONG ioControlCode, ULONG inputLength, ULONG outputLength,
                                   PVOID type3InputBuffer) {
    stack_.Parameters.DeviceIoControl.IoControlCode = ioControlCode;
    stack_.Parameters.DeviceIoControl.InputBufferLength = inputLength;
    stack_.Parameters.DeviceIoControl.OutputBufferLength = outputLength;
    stack_.Parameters.DeviceIoControl.Type3InputBuffer = type3InputBuffer;
}

KsRequest* KsRequest::FromIrp(PIRP irp) {
    if (irp == nullptr || irp->HostRequest == nullptr) {
        return nullptr;
    }
    auto* request = static_cast<KsRequest*>(irp->HostRequest);
    return request->magic_ == kMagic && &request->irp_ == irp ? request : nullptr;
}

}  // namespace host::ks
