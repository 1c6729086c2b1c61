#include "host/variants/Variants.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace host {

namespace {

constexpr int kCount = static_cast<int>(Variant::Count);

// One line per switch, in the order of the enum. The notes' wording is quoted
// in `rule` so a table of results can say what each switch is about.
const VariantInfo kInfo[kCount] = {
    {"device-mutex-at-start",
     {"held", "not-held"},
     2,
     0,
     "Device mutex during Start/PostStart: held or not"},
    {"started-flag",
     {"after-start", "before-start", "after-post-start"},
     3,
     2,
     "Started set before Start, after it succeeds, or after PostStart"},
    {"process-during-state-change",
     {"overlapping", "serialized"},
     2,
     0,
     "Process during SetDeviceState: overlapping or serialized"},
    {"attempt-under-processing-mutex",
     {"retried-at-release", "dropped", "waits"},
     3,
     1,
     "Attempt while the driver holds the processing mutex: dropped, waits, or retried"},
    {"attempt-during-process",
     {"rerun-after", "ignored"},
     2,
     1,
     "Attempt during Process: ignored or rerun after"},
    {"process-error",
     {"like-pending", "like-success"},
     2,
     1,
     "Error from Process acts like PENDING or SUCCESS"},
    {"async-processing",
     {"serial", "overlapping"},
     2,
     1,
     "ASYNCHRONOUS_PROCESSING calls serial or overlapping"},
    {"mappings-dataused-offset",
     {"offset-out", "offset-in"},
     2,
     1,
     "MAPPINGS DataUsed: OffsetIn or OffsetOut"},
    {"mappings-dataused-pointers",
     {"edges", "any-pointer"},
     2,
     1,
     "MAPPINGS DataUsed: any pointer or edges"},
    {"mappings-dataused-unit", {"bytes", "mappings"}, 2, 1, "MAPPINGS DataUsed: mappings or bytes"},
    {"failed-relock",
     {"unlocked-on-new-spot", "left-where-it-was"},
     2,
     1,
     "After a failed relock the pointer is unlocked on the new spot, or left where it was"},
    {"stop-frames",
     {"complete-unreferenced", "cancel-clones", "wait-for-clones"},
     3,
     1,
     "At STOP: unreferenced frames complete; unlocked clones get Cancel; STOP waits for clones"},
    {"leading-edge-at-stop", {"reset", "kept"}, 2, 1, "Leading edge reset or kept at STOP"},
    {"master-clock",
     {"before-acquire", "before-pause", "never"},
     3,
     1,
     "MASTERCLOCK set before ACQUIRE, before PAUSE, or never"},
    {"stream-time",
     {"zero-in-stop-frozen-in-pause", "running-from-pause"},
     2,
     1,
     "Stream time 0 in STOP and frozen in PAUSE, or running from PAUSE"},
    {"clock-call-irql",
     {"up-to-dispatch", "passive-only"},
     2,
     1,
     "Clock calls PASSIVE only or <= DISPATCH"},
    {"unknown-set-status",
     {"propset-not-found", "not-found"},
     2,
     1,
     "Unknown set: PROPSET_NOT_FOUND or NOT_FOUND"},
    {"short-data-status",
     {"buffer-too-small", "as-zero-length"},
     2,
     1,
     "0 < length < MinData: BUFFER_TOO_SMALL or as for 0"},
    {"ksedit-larger",
     {"no-op", "reallocate"},
     2,
     1,
     "_KsEdit, item already in bag, larger size: no-op or reallocate"},
    {"descriptor-factories",
     {"after-add", "before-add"},
     2,
     1,
     "Descriptor factories made before Add (Context NULL) or after"},
    {"one-shot-rearm",
     {"overlap", "never"},
     2,
     0,
     "One-shot timer re-armed in its DPC: runs may overlap or never do"},
    {"clock-tick",
     {"156250", "10000", "5000"},
     3,
     0,
     "Tick 15.625 ms, or shorter if raised elsewhere"},
    {"ksgetdevice-above-passive", {"accept", "flag"}, 2, 1, "KsGetDevice above PASSIVE"},
    {"wait-reason-suspended", {"accept", "flag"}, 2, 1, "WaitReason Suspended: accept or flag"},
    {"suspend-critical-region",
     {"blocks", "not"},
     2,
     1,
     "Suspension blocked or not by a critical region"},
    {"suspend-fast-mutex", {"blocks", "not"}, 2, 1, "Suspension blocked or not by a fast mutex"},
    {"suspend-kmutex", {"blocks", "not"}, 2, 1, "Suspension blocked or not by a KMUTEX"},
};

std::atomic<int> gSelected[kCount];

bool SelectOne(const std::string& item, std::string* error) {
    const size_t eq = item.find('=');
    const std::string name = item.substr(0, eq);
    const std::string option = eq == std::string::npos ? "" : item.substr(eq + 1);
    for (int v = 0; v < kCount; ++v) {
        if (name != kInfo[v].name) {
            continue;
        }
        for (int o = 0; o < kInfo[v].optionCount; ++o) {
            if (option == kInfo[v].options[o]) {
                gSelected[v].store(o);
                return true;
            }
        }
        *error = "variant '" + name + "' has no option '" + option + "'";
        return false;
    }
    *error = "no variant named '" + name + "'";
    return false;
}

}  // namespace

const VariantInfo& Variants::Info(Variant variant) {
    return kInfo[static_cast<int>(variant)];
}

int Variants::Get(Variant variant) {
    return gSelected[static_cast<int>(variant)].load(std::memory_order_relaxed);
}

bool Variants::Is(Variant variant, const char* option) {
    const VariantInfo& info = Info(variant);
    return std::strcmp(info.options[Get(variant)], option) == 0;
}

void Variants::Set(Variant variant, int option) {
    gSelected[static_cast<int>(variant)].store(option);
}

void Variants::Reset() {
    for (auto& selected : gSelected) {
        selected.store(0);
    }
}

bool Variants::Select(const std::string& selection, std::string* error) {
    Reset();
    if (selection.empty() || selection == "defaults") {
        return true;
    }
    if (selection == "adverse") {
        for (int v = 0; v < kCount; ++v) {
            gSelected[v].store(kInfo[v].adverse);
        }
        return true;
    }
    size_t start = 0;
    while (start <= selection.size()) {
        size_t comma = selection.find(',', start);
        if (comma == std::string::npos) {
            comma = selection.size();
        }
        if (comma > start && !SelectOne(selection.substr(start, comma - start), error)) {
            return false;
        }
        start = comma + 1;
    }
    return true;
}

void Variants::ApplyEnvironment() {
    static std::once_flag once;
    std::call_once(once, [] {
        const char* selection = std::getenv("VCAM_VARIANTS");
        std::string error;
        if (selection != nullptr && !Select(selection, &error)) {
            std::fprintf(stderr, "VCAM_VARIANTS: %s\n", error.c_str());
            std::exit(2);
        }
    });
}

std::string Variants::Describe() {
    std::string text;
    for (int v = 0; v < kCount; ++v) {
        const int option = gSelected[v].load();
        if (option != 0) {
            text += (text.empty() ? "" : ",") + std::string(kInfo[v].name) + "=" +
                    kInfo[v].options[option];
        }
    }
    return text.empty() ? "defaults" : text;
}

std::string Variants::Catalogue() {
    std::string text;
    for (int v = 0; v < kCount; ++v) {
        text += kInfo[v].name;
        text += ":";
        for (int o = 0; o < kInfo[v].optionCount; ++o) {
            text += o == 0 ? " " : " | ";
            text += kInfo[v].options[o];
        }
        text += "  (" + std::string(kInfo[v].rule) + ")\n";
    }
    return text;
}

}  // namespace host
