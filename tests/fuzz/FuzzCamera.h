// FuzzCamera: the camera a driver-level fuzz target feeds, loaded once per
// process and kept across inputs: the host kernel on the virtual clock, the
// driver loaded, its device added and started, one filter open and, for the
// targets that need it, one capture pin streaming in KSSTATE_RUN.
//
// Every input ends with EndInput, which aborts (so libFuzzer keeps the
// input) on any verifier violation. At process exit everything is closed,
// the device removed, the unload checks run, and the process fails unless
// the verifier stayed clean and no pool block is left; then it prints
// "fuzz <target>: N inputs run, V violations, B pool blocks left".
//
// A target run with VCAM_FUZZ_SEEDS=<dir> in its environment writes its seed
// inputs (built from the live driver's answers) into <dir> and exits.
#pragma once

#include <host/ks.h>

#include "host/client/Device.h"
#include "host/client/Driver.h"
#include "host/client/FilterHandle.h"
#include "host/client/PinHandle.h"

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

class FuzzCamera {
  public:
    // Once per process, from LLVMFuzzerInitialize. Aborts if the camera does
    // not come up.
    static FuzzCamera& Open(const char* target, bool streaming);
    // In seed mode (VCAM_FUZZ_SEEDS set): writes the target's seeds with
    // `writeSeeds` and exits without fuzzing. Otherwise does nothing.
    void WriteSeedsIfAsked(void (*writeSeeds)(const char* directory));

    host::FilterHandle* Filter() const { return filter_.get(); }
    // The streaming pin, or null (not streaming, or closed by ClosePin).
    host::PinHandle* Pin() const { return pin_.get(); }
    // The pin's data range and the format a client negotiates from it
    // through the filter (data intersection of that range).
    const std::vector<uint8_t>& Range() const { return range_; }
    const std::vector<uint8_t>& Format() const { return format_; }
    // AvgTimePerFrame of the negotiated format: one tick of the stream.
    LONGLONG FramePeriod() const;
    // Pool blocks outstanding once the camera was up: an input that leaves
    // no pin behind must leave exactly this many.
    size_t BaselineBlocks() const { return baselineBlocks_; }

    // Ends one input: aborts on a verifier violation; counts the input.
    void EndInput();
    // Reports `why` with the verifier's findings and aborts.
    [[noreturn]] static void Fail(const std::string& why);

    // The seed directory named by VCAM_FUZZ_SEEDS, or null.
    static const char* SeedDirectory();
    // Writes one seed file `name` into `directory`; aborts on failure.
    static void WriteSeed(const char* directory, const std::string& name,
                          const std::vector<uint8_t>& bytes);
    // Seed mode: no figure is printed at exit.
    void Quiet() { quiet_ = true; }

  private:
    FuzzCamera() = default;
    void Start(const char* target, bool streaming);
    void Finish();
    static void AtExit();

    std::string target_;                          // printed with the figure
    std::unique_ptr<host::Driver> driver_;        // the loaded driver
    std::unique_ptr<host::Device> device_;        // its one device, started
    std::unique_ptr<host::FilterHandle> filter_;  // the filter every request goes to
    std::unique_ptr<host::PinHandle> pin_;        // streaming targets: the pin in RUN
    std::vector<uint8_t> range_;                  // the pin's data range
    std::vector<uint8_t> format_;                 // the negotiated format
    size_t baselineBlocks_ = 0;                   // pool blocks once up
    uint64_t inputs_ = 0;                         // EndInput calls
    bool quiet_ = false;                          // seed mode
};
