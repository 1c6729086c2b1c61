#include "tools/vcam/device/DeviceFeed.h"

#include "tools/vcam/CameraFormat.h"
#include "tools/vcam/Interrupt.h"
#include "tools/vcam/StatusLine.h"
#include "tools/vcam/ToolError.h"
#include "tools/vcam/device/DeviceCamera.h"

#include <exception>

namespace vcam {

namespace {

constexpr int64_t kRebaseAfter = 4 * kFramePeriod;

}  // namespace

FeedSummary DeviceFeed::Run() {
    DeviceCamera camera(transport_);
    camera.RequireSignature();
    std::unique_ptr<FrameSource> source = SourceFactory::Open(options_.source);
    const FrameRate rate = source->Rate();
    const std::string described = source->Describe();

    FeedSummary summary;
    StatusLine status;
    std::vector<uint8_t> frame;
    int64_t base = transport_.Now();
    const int64_t start = base;
    const int64_t end =
        options_.seconds < 0 ? INT64_MAX : start + static_cast<int64_t>(options_.seconds * 1e7);
    int64_t lastPush = start;
    try {
        for (uint64_t index = 0; options_.frames == 0 || index < options_.frames; ++index) {
            if (!source->Next(frame)) break;
            const int64_t due = base + rate.OffsetOf(index);
            if (due >= end) break;
            if (!transport_.WaitUntil(due) || Interrupt::Requested()) {
                summary.interrupted = true;
                break;
            }
            const int64_t now = transport_.Now();
            if (now - due > kFramePeriod) ++summary.late;
            if (now - due > kRebaseAfter) {
                base = now - rate.OffsetOf(index);
                ++summary.rebased;
            }
            KsResult result = camera.Push(frame);
            if (!result.Ok()) {
                throw ToolError(kExitCamera, "pushing frame " + std::to_string(index) +
                                                 " through the frame injection property failed: " +
                                                 result.detail);
            }
            ++summary.pushed;
            lastPush = transport_.Now();
            if (status.Enabled()) {
                char text[128];
                std::snprintf(text, sizeof text, "vcam feed: %7.2f s  pushed %llu  late %llu",
                              (lastPush - start) / 1e7,
                              static_cast<unsigned long long>(summary.pushed),
                              static_cast<unsigned long long>(summary.late));
                status.Update(text);
            }
        }
    } catch (const ToolError&) {
        status.Clear();
        summary.seconds = (lastPush - start) / 1e7;
        PrintSummary(summary, described);
        throw;
    }
    status.Clear();
    summary.seconds = (lastPush - start) / 1e7;
    PrintSummary(summary, described);
    if (summary.pushed == 0 && !summary.interrupted) {
        throw ToolError(kExitInput, described + ": no frame to push");
    }
    return summary;
}

void DeviceFeed::PrintSummary(const FeedSummary& summary, const std::string& source) const {
    const double fps =
        summary.seconds > 0 && summary.pushed > 1 ? (summary.pushed - 1) / summary.seconds : 0.0;
    std::fprintf(
        out_, "vcam feed: pushed %llu frames in %.2f s (%.3f fps) from %s; %llu late%s%s\n",
        static_cast<unsigned long long>(summary.pushed), summary.seconds, fps, source.c_str(),
        static_cast<unsigned long long>(summary.late),
        summary.rebased != 0
            ? (", schedule restarted " + std::to_string(summary.rebased) + " times").c_str()
            : "",
        summary.interrupted ? "; stopped by Ctrl-C" : "");
    std::fflush(out_);
}

}  // namespace vcam
