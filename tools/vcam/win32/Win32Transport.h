// The transport on Windows: the installed camera through the documented
// user-mode calls, and nothing else. The camera is found among the present
// KSCATEGORY_VIDEO_CAMERA device interfaces (SetupDiGetClassDevs,
// SetupDiEnumDeviceInterfaces) as the one whose reference string is GLOBAL
// and whose filter answers the frame injection signature; the filter is
// opened with CreateFile (overlapped), properties go through DeviceIoControl
// (IOCTL_KS_PROPERTY), the pin is made by KsCreatePin (ksuser.dll) and fed
// IOCTL_KS_READ_STREAM reads, each with its own OVERLAPPED and event. The
// request bytes all come from KsWire. Pacing waits on a waitable timer.
#pragma once

#include "tools/vcam/device/KsTransport.h"

#include <windows.h>

#include <memory>
#include <string>

namespace vcam {

class Win32Transport : public KsTransport {
  public:
    // Finds and opens the camera. Throws ToolError (camera) with one line
    // saying what was found when there is none to open.
    static std::unique_ptr<Win32Transport> Open();
    ~Win32Transport() override;
    Win32Transport(const Win32Transport&) = delete;
    Win32Transport& operator=(const Win32Transport&) = delete;

    std::string Describe() const override { return path_; }
    KsResult FilterProperty(const std::vector<uint8_t>& request, void* value,
                            uint32_t length) override;
    KsResult CreatePin(const std::vector<uint8_t>& connect,
                       std::unique_ptr<KsPinChannel>* pin) override;
    int64_t Now() override;
    bool WaitUntil(int64_t time) override;

    // A Win32 error as a transport result, with `returned`.
    static KsResult Result(DWORD error, DWORD returned);
    // One overlapped DeviceIoControl, waited for.
    static KsResult Control(HANDLE handle, DWORD code, const void* input, DWORD inputLength,
                            void* output, DWORD outputLength);

  private:
    Win32Transport(HANDLE filter, std::string path);

    HANDLE filter_;        // the filter handle, overlapped; owned
    std::string path_;     // the interface path it was opened through
    HANDLE timer_;         // the pacing timer; owned
    LARGE_INTEGER ticks_;  // performance counter frequency
};

}  // namespace vcam
