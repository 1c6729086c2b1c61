#include "tools/vcam/Interrupt.h"

#include <atomic>
#include <csignal>
#include <unistd.h>

namespace vcam {

namespace {

std::atomic<bool> requested{false};  // set by the handler, read by the run's loops

void OnSignal(int) {
    if (requested.exchange(true)) _exit(130);
}

}  // namespace

void Interrupt::Install() {
    struct sigaction action = {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::signal(SIGPIPE, SIG_IGN);
}

bool Interrupt::Requested() {
    return requested.load();
}

}  // namespace vcam
