#include "tools/vcam/win32/Win32Transport.h"

#include "tools/vcam/Interrupt.h"
#include "tools/vcam/ToolError.h"
#include "tools/vcam/device/DeviceCamera.h"
#include "tools/vcam/device/KsWire.h"

// clang-format off: the SDK headers need this order
#include <setupapi.h>
#include <ks.h>
#include <ksmedia.h>
// clang-format on

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <deque>
#include <unordered_map>

// The layouts KsWire writes by offset are mingw-w64's x64 layouts.
static_assert(sizeof(KSPROPERTY) == vcam::KsWire::kPropertySize, "KSPROPERTY");
static_assert(sizeof(KSP_PIN) == vcam::KsWire::kPinPropertySize, "KSP_PIN");
static_assert(sizeof(KSPIN_CONNECT) == vcam::KsWire::kConnectSize, "KSPIN_CONNECT");
static_assert(offsetof(KSPIN_CONNECT, PinId) == 48, "KSPIN_CONNECT.PinId");
static_assert(offsetof(KSPIN_CONNECT, Priority) == 64, "KSPIN_CONNECT.Priority");
static_assert(sizeof(KSDATAFORMAT) == vcam::KsWire::kDataFormatSize, "KSDATAFORMAT");
static_assert(sizeof(KSSTREAM_HEADER) == vcam::KsWire::kStreamHeaderSize, "KSSTREAM_HEADER");
static_assert(offsetof(KSSTREAM_HEADER, Data) == 40, "KSSTREAM_HEADER.Data");
static_assert(sizeof(KS_FRAME_INFO) == vcam::KsWire::kFrameInfoSize, "KS_FRAME_INFO");
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == vcam::KsWire::kVideoFormatSize,
              "KS_DATAFORMAT_VIDEOINFOHEADER");
static_assert(sizeof(KS_DATARANGE_VIDEO) == vcam::KsWire::kVideoRangeSize, "KS_DATARANGE_VIDEO");
static_assert(sizeof(KSALLOCATOR_FRAMING_EX) == vcam::KsWire::kFramingSize,
              "KSALLOCATOR_FRAMING_EX");

namespace vcam {

namespace {

constexpr DWORD kStepMs = 50;  // longest single wait, so Ctrl-C is seen

std::string Narrow(const std::wstring& text) {
    std::string narrow;
    for (wchar_t c : text) narrow.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return narrow;
}

bool EndsWithGlobal(const std::wstring& path) {
    const std::wstring tail = L"\\global";
    if (path.size() < tail.size()) return false;
    for (size_t i = 0; i < tail.size(); ++i) {
        if (towlower(path[path.size() - tail.size() + i]) != tail[i]) return false;
    }
    return true;
}

// A capture pin from KsCreatePin.
class Win32PinChannel : public KsPinChannel {
  public:
    explicit Win32PinChannel(HANDLE pin) : pin_(pin) {}
    ~Win32PinChannel() override { Close(); }

    KsResult Property(const std::vector<uint8_t>& request, void* value, uint32_t length) override {
        return Win32Transport::Control(pin_, IOCTL_KS_PROPERTY, request.data(),
                                       static_cast<DWORD>(request.size()), value, length);
    }

    KsResult SubmitRead(KsRead* read) override {
        auto slot = std::make_unique<Slot>();
        slot->read = read;
        slot->overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
        read->back = false;
        // The headers travel as the output buffer; the input is empty.
        BOOL done =
            DeviceIoControl(pin_, IOCTL_KS_READ_STREAM, nullptr, 0, read->header.data(),
                            static_cast<DWORD>(read->header.size()), nullptr, &slot->overlapped);
        const DWORD error = done ? ERROR_SUCCESS : GetLastError();
        if (!done && error != ERROR_IO_PENDING) {
            CloseHandle(slot->overlapped.hEvent);
            return Win32Transport::Result(error, 0);
        }
        pending_.push_back(std::move(slot));
        return Win32Transport::Result(ERROR_SUCCESS, 0);
    }

    KsRead* WaitRead(uint32_t milliseconds) override {
        if (pending_.empty()) return nullptr;
        Slot& slot = *pending_.front();
        if (!slot.read->back) {
            if (WaitForSingleObject(slot.overlapped.hEvent, milliseconds) != WAIT_OBJECT_0) {
                return nullptr;
            }
            Finish(slot);
        }
        KsRead* read = slot.read;
        pending_.pop_front();
        return read;
    }

    size_t Pending() const override { return pending_.size(); }

    void Close() override {
        if (pin_ == INVALID_HANDLE_VALUE) return;
        // Reads still queued come back cancelled; each is waited for before
        // its buffers may go.
        CancelIoEx(pin_, nullptr);
        for (auto& slot : pending_) {
            if (!slot->read->back) {
                WaitForSingleObject(slot->overlapped.hEvent, INFINITE);
                Finish(*slot);
            }
        }
        CloseHandle(pin_);
        pin_ = INVALID_HANDLE_VALUE;
    }

  private:
    struct Slot {
        KsRead* read = nullptr;
        OVERLAPPED overlapped = {};
    };

    void Finish(Slot& slot) {
        DWORD bytes = 0;
        BOOL ok = GetOverlappedResult(pin_, &slot.overlapped, &bytes, FALSE);
        slot.read->result = Win32Transport::Result(ok ? ERROR_SUCCESS : GetLastError(), bytes);
        slot.read->back = true;
        CloseHandle(slot.overlapped.hEvent);
    }

    HANDLE pin_;                                 // the pin handle; owned
    std::deque<std::unique_ptr<Slot>> pending_;  // reads sent, oldest first
};

}  // namespace

Win32Transport::Win32Transport(HANDLE filter, std::string path)
    : filter_(filter), path_(std::move(path)) {
    // A high-resolution timer where the system has one (Windows 10 1803+).
    timer_ = CreateWaitableTimerExW(nullptr, nullptr, 0x00000002 /* HIGH_RESOLUTION */,
                                    TIMER_ALL_ACCESS);
    if (timer_ == nullptr) timer_ = CreateWaitableTimerW(nullptr, TRUE, nullptr);
    QueryPerformanceFrequency(&ticks_);
}

Win32Transport::~Win32Transport() {
    if (timer_ != nullptr) CloseHandle(timer_);
    CloseHandle(filter_);
}

std::unique_ptr<Win32Transport> Win32Transport::Open() {
    GUID category;
    std::memcpy(&category, &KsWire::kCategoryVideoCamera, sizeof category);
    HDEVINFO set =
        SetupDiGetClassDevsW(&category, nullptr, nullptr, DIGCF_DEVICEINTERFACE | DIGCF_PRESENT);
    if (set == INVALID_HANDLE_VALUE) {
        throw ToolError(kExitCamera,
                        "no VantriCamera found: listing the video camera interfaces "
                        "failed: " +
                            Result(GetLastError(), 0).detail);
    }
    int interfaces = 0;
    std::string refused;
    std::unique_ptr<Win32Transport> found;
    for (DWORD index = 0; !found; ++index) {
        SP_DEVICE_INTERFACE_DATA entry = {};
        entry.cbSize = sizeof entry;
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &category, index, &entry)) break;
        ++interfaces;
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set, &entry, nullptr, 0, &required, nullptr);
        if (required < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
        std::vector<uint8_t> storage(required);
        auto* detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(storage.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (!SetupDiGetDeviceInterfaceDetailW(set, &entry, detail, required, nullptr, nullptr)) {
            continue;
        }
        const std::wstring path = detail->DevicePath;
        if (!EndsWithGlobal(path)) continue;
        HANDLE filter = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        if (filter == INVALID_HANDLE_VALUE) {
            refused = Narrow(path) + ": " + Result(GetLastError(), 0).detail;
            continue;
        }
        std::unique_ptr<Win32Transport> candidate(new Win32Transport(filter, Narrow(path)));
        uint32_t signature = 0;
        KsResult answer = DeviceCamera(*candidate).Signature(&signature);
        if (answer.Ok() && answer.returned == 4 && signature == KsWire::kSignature) {
            found = std::move(candidate);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    if (found) return found;
    if (interfaces == 0) {
        throw ToolError(kExitCamera,
                        "no VantriCamera found: no video camera device is present (is "
                        "VantriCamera.sys installed and its device started?)");
    }
    throw ToolError(kExitCamera, "no VantriCamera found: " + std::to_string(interfaces) +
                                     " video camera interface(s), none answers the frame "
                                     "injection signature" +
                                     (refused.empty() ? "" : "; last refusal " + refused));
}

KsResult Win32Transport::Result(DWORD error, DWORD returned) {
    KsResult result;
    result.returned = returned;
    switch (error) {
        case ERROR_SUCCESS:
            result.outcome = KsOutcome::kOk;
            break;
        case ERROR_MORE_DATA:
            result.outcome = KsOutcome::kMoreData;
            break;
        case ERROR_INSUFFICIENT_BUFFER:
            result.outcome = KsOutcome::kTooSmall;
            break;
        case ERROR_NOT_FOUND:
        case ERROR_SET_NOT_FOUND:
        case ERROR_FILE_NOT_FOUND:
            result.outcome = KsOutcome::kNotFound;
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_BUSY:
        case ERROR_NOT_ENOUGH_QUOTA:
            result.outcome = KsOutcome::kBusy;
            break;
        case ERROR_OPERATION_ABORTED:
            result.outcome = KsOutcome::kCancelled;
            break;
        default:
            result.outcome = KsOutcome::kFailed;
    }
    char text[256] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    while (length > 0 &&
           (text[length - 1] == '\r' || text[length - 1] == '\n' || text[length - 1] == '.')) {
        text[--length] = '\0';
    }
    result.detail = "Win32 error " + std::to_string(error) + (length > 0 ? " (" : "") + text +
                    (length > 0 ? ")" : "");
    if (error == ERROR_ACCESS_DENIED) {
        result.detail += "; camera access may be off in Settings (ms-settings:privacy-webcam)";
    }
    return result;
}

KsResult Win32Transport::Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                                 void* output, DWORD outputLength) {
    OVERLAPPED overlapped = {};
    overlapped.hEvent = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    DWORD returned = 0;
    BOOL done = DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output,
                                outputLength, &returned, &overlapped);
    DWORD error = done ? ERROR_SUCCESS : GetLastError();
    if (error == ERROR_IO_PENDING) {
        done = GetOverlappedResult(handle, &overlapped, &returned, TRUE);
        error = done ? ERROR_SUCCESS : GetLastError();
    } else if (error == ERROR_MORE_DATA) {
        // A size query: the size is the request's Information, which the
        // I/O manager leaves in the OVERLAPPED for a warning status.
        returned = static_cast<DWORD>(overlapped.InternalHigh);
    }
    CloseHandle(overlapped.hEvent);
    return Result(error, returned);
}

KsResult Win32Transport::FilterProperty(const std::vector<uint8_t>& request, void* value,
                                        uint32_t length) {
    return Control(filter_, IOCTL_KS_PROPERTY, request.data(), static_cast<DWORD>(request.size()),
                   value, length);
}

KsResult Win32Transport::CreatePin(const std::vector<uint8_t>& connect,
                                   std::unique_ptr<KsPinChannel>* pin) {
    pin->reset();
    // KsCreatePin reads the KSPIN_CONNECT and the format right behind it.
    std::vector<uint8_t> request = connect;
    HANDLE handle = nullptr;
    DWORD error = KsCreatePin(filter_, reinterpret_cast<PKSPIN_CONNECT>(request.data()),
                              GENERIC_READ, &handle);
    if (error == ERROR_SUCCESS) pin->reset(new Win32PinChannel(handle));
    return Result(error, 0);
}

int64_t Win32Transport::Now() {
    LARGE_INTEGER count;
    QueryPerformanceCounter(&count);
    const int64_t seconds = count.QuadPart / ticks_.QuadPart;
    const int64_t rest = count.QuadPart % ticks_.QuadPart;
    return seconds * 10000000 + rest * 10000000 / ticks_.QuadPart;
}

bool Win32Transport::WaitUntil(int64_t time) {
    for (;;) {
        if (Interrupt::Requested()) return false;
        const int64_t wait = time - Now();
        if (wait <= 0) return true;
        // Each wait is measured from the absolute due time, so a late wake
        // does not shift later pushes.
        LARGE_INTEGER due;
        due.QuadPart = -std::min<int64_t>(wait, kStepMs * 10000);
        if (timer_ == nullptr || !SetWaitableTimer(timer_, &due, 0, nullptr, nullptr, FALSE)) {
            Sleep(static_cast<DWORD>(std::max<int64_t>(1, -due.QuadPart / 10000)));
            continue;
        }
        WaitForSingleObject(timer_, INFINITE);
    }
}

}  // namespace vcam
