#include "tools/vcam/Interrupt.h"

#include <atomic>
#include <csignal>

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace vcam {

namespace {

std::atomic<bool> requested{false};  // set by the handler, read by the run's loops

#if defined(_WIN32)
// Runs on a thread the console starts for the event.
BOOL WINAPI OnConsoleEvent(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
    if (requested.exchange(true)) ExitProcess(130);
    return TRUE;
}
#else
void OnSignal(int) {
    if (requested.exchange(true)) _exit(130);
}
#endif

}  // namespace

#if defined(_WIN32)
void Interrupt::Install() {
    SetConsoleCtrlHandler(OnConsoleEvent, TRUE);
}
#else
void Interrupt::Install() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}
#endif

bool Interrupt::Requested() {
    return requested.load();
}

}  // namespace vcam
