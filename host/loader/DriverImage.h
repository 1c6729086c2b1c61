// A driver image (.sys) mapped into the host and ready to run, as the
// kernel's loader prepares one: sections mapped with their protections (code
// r-x, data rw-, read-only data r--), DIR64 base relocations applied, imports
// bound by name to the host routines of host/loader/Imports.def (ks.sys and
// ntoskrnl.exe only), the inline reads of the kernel's shared data page moved
// to the host's page, and INIT (discardable) sections freed once DriverEntry
// has returned. Loading refuses anything it does not handle with one message.
//
// Threads: Load and the destructor on one thread while no image code runs;
// the lookups (Find, Describe) from any thread.
#pragma once

#include "host/loader/PeImage.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace host::loader {

class DriverImage {
  public:
    // Reads and maps the image at `path`. On failure returns nullptr and sets
    // *error to one line ("VantriCamera.sys: machine 0x14c is not x64").
    static std::unique_ptr<DriverImage> LoadFile(const std::string& path, std::string* error);
    // The same from bytes in memory; `name` labels reports.
    static std::unique_ptr<DriverImage> LoadBytes(const uint8_t* data, size_t size,
                                                  const std::string& name, std::string* error);
    ~DriverImage();
    DriverImage(const DriverImage&) = delete;
    DriverImage& operator=(const DriverImage&) = delete;

    const std::string& Name() const { return name_; }
    const PeImage& Pe() const { return pe_; }
    uint8_t* Base() const { return base_; }
    // The entry point (DriverEntry), an ms_abi routine.
    void* Entry() const { return base_ + pe_.EntryRva(); }
    // Address of a function symbol, or nullptr.
    void* Symbol(const std::string& name) const;
    // Sites that read the shared data page, as found and relocated.
    size_t SharedPageSites() const { return sharedPageSites_; }

    // Frees the discardable sections (INIT): their pages become inaccessible,
    // so a later call into them faults and is reported as such. After
    // DriverEntry returns; idempotent.
    void FreeDiscardable();

    bool Contains(const void* address) const;
    // Name of a section holding `address` ("PAGE"), or "".
    std::string SectionOf(const void* address) const;
    // True if `address` is in a freed discardable section.
    bool InFreedSection(const void* address) const;

    // "VantriCamera.sys!Symbol+0x1c" for an address in any loaded image, or
    // "" when none holds it. Any thread.
    static std::string Describe(const void* address);
    // The loaded image holding `address`, or nullptr. Any thread.
    static DriverImage* Find(const void* address);

  private:
    DriverImage() = default;
    bool Map(std::string* error);
    bool Bind(std::string* error);
    bool RelocateSharedPage(std::string* error);
    bool Protect(std::string* error);

    std::string name_;
    PeImage pe_;
    uint8_t* base_ = nullptr;  // mapping of SizeOfImage bytes
    size_t sharedPageSites_ = 0;
    bool discarded_ = false;
};

}  // namespace host::loader
