#include "tools/vcam/RunReport.h"

#include <cmath>
#include <string>

namespace vcam {

namespace {

std::string Json(const std::string& text) {
    std::string quoted = "\"";
    for (char c : text) {
        switch (c) {
            case '"':
                quoted += "\\\"";
                break;
            case '\\':
                quoted += "\\\\";
                break;
            case '\n':
                quoted += "\\n";
                break;
            case '\t':
                quoted += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20) {
                    char escape[8];
                    std::snprintf(escape, sizeof escape, "\\u%04x", c);
                    quoted += escape;
                } else {
                    quoted += c;
                }
        }
    }
    return quoted + "\"";
}

std::string Number(double value) {
    if (!std::isfinite(value)) return "null";
    char text[32];
    std::snprintf(text, sizeof text, "%.4f", value);
    return text;
}

}  // namespace

void RunReport::AddDelivery(int64_t presentationTime) {
    if (fitCount_ == 0) {
        fitOrigin_ = presentationTime;
    } else {
        const int64_t interval = presentationTime - previous_;
        jitterMs.Add(std::fabs(static_cast<double>(interval - kFramePeriod)) / 1e4);
    }
    previous_ = presentationTime;
    const double x = fitCount_;
    const double y = (presentationTime - fitOrigin_) / 1e7;
    fitCount_ += 1;
    fitSumX_ += x;
    fitSumY_ += y;
    fitSumXX_ += x * x;
    fitSumXY_ += x * y;
}

double RunReport::Rate() const {
    const double denominator = fitCount_ * fitSumXX_ - fitSumX_ * fitSumX_;
    if (fitCount_ < 2 || denominator <= 0) return 0.0;
    const double secondsPerFrame = (fitCount_ * fitSumXY_ - fitSumX_ * fitSumY_) / denominator;
    return secondsPerFrame > 0 ? 1.0 / secondsPerFrame : 0.0;
}

void RunReport::PrintText(std::FILE* out) const {
    std::fprintf(out, "vcam run: %s clock, source %s\n", clock.c_str(), source.c_str());
    std::fprintf(out, "  frames pushed        %llu\n",
                 static_cast<unsigned long long>(framesPushed));
    std::fprintf(out, "  frames delivered     %llu in %.3f s, %.3f fps\n",
                 static_cast<unsigned long long>(framesDelivered), streamSeconds, deliveredFps);
    std::fprintf(out, "  tick lateness        median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                 latenessMs.Median(), latenessMs.Percentile(99), latenessMs.Max());
    std::fprintf(out, "  interval jitter      median %.3f ms, p99 %.3f ms, max %.3f ms\n",
                 jitterMs.Median(), jitterMs.Percentile(99), jitterMs.Max());
    if (latencyMeasurable && !latencyMs.Empty()) {
        std::fprintf(out, "  push to delivery     median %.3f ms, p99 %.3f ms (%zu pushes seen)\n",
                     latencyMs.Median(), latencyMs.Percentile(99), latencyMs.Count());
    } else {
        std::fprintf(out, "  push to delivery     not measurable for this source\n");
    }
    if (!tickMicroseconds.Empty()) {
        std::fprintf(out,
                     "  tick duration        median %.1f us, p99 %.1f us, max %.1f us "
                     "(DPC guideline %.0f us)\n",
                     tickMicroseconds.Median(), tickMicroseconds.Percentile(99),
                     tickMicroseconds.Max(), kDpcGuidelineMicroseconds);
    }
    std::fprintf(out, "  ticks without buffer %llu\n",
                 static_cast<unsigned long long>(TicksWithoutBuffer()));
    if (pictureNumberErrors != 0 || shortFrames != 0) {
        std::fprintf(out, "  PictureNumber errors %llu, short frames %llu\n",
                     static_cast<unsigned long long>(pictureNumberErrors),
                     static_cast<unsigned long long>(shortFrames));
    }
    std::fprintf(out, "  verifier             %llu violations, %llu pool blocks left\n",
                 static_cast<unsigned long long>(violations),
                 static_cast<unsigned long long>(poolBlocksLeft));
    if (!verifierText.empty()) std::fprintf(out, "%s\n", verifierText.c_str());
    if (!output.empty()) std::fprintf(out, "  wrote %s\n", output.c_str());
    if (!snapshot.empty()) std::fprintf(out, "  wrote %s\n", snapshot.c_str());
    std::fflush(out);
}

void RunReport::PrintJson(std::FILE* out) const {
    std::string latency = "null";
    if (latencyMeasurable && !latencyMs.Empty()) {
        latency = "{\"median\": " + Number(latencyMs.Median()) +
                  ", \"p99\": " + Number(latencyMs.Percentile(99)) +
                  ", \"max\": " + Number(latencyMs.Max()) +
                  ", \"count\": " + std::to_string(latencyMs.Count()) + "}";
    }
    std::string tickDuration = "null";
    if (!tickMicroseconds.Empty()) {
        tickDuration = "{\"median\": " + Number(tickMicroseconds.Median()) +
                       ", \"p99\": " + Number(tickMicroseconds.Percentile(99)) +
                       ", \"max\": " + Number(tickMicroseconds.Max()) +
                       ", \"count\": " + std::to_string(tickMicroseconds.Count()) +
                       ", \"guideline\": " + Number(kDpcGuidelineMicroseconds) + "}";
    }
    std::fprintf(
        out,
        "{\"clock\": %s, \"source\": %s, \"output\": %s, \"snapshot\": %s, "
        "\"stream_seconds\": %s, \"frames_pushed\": %llu, \"frames_delivered\": %llu, "
        "\"frames_cancelled\": %llu, \"delivered_fps\": %s, "
        "\"tick_lateness_ms\": {\"median\": %s, \"p99\": %s, \"max\": %s}, "
        "\"jitter_ms\": {\"median\": %s, \"p99\": %s, \"max\": %s}, "
        "\"latency_ms\": %s, \"tick_duration_us\": %s, \"ticks_without_buffer\": %llu, "
        "\"picture_number_errors\": %llu, \"short_frames\": %llu, "
        "\"verifier_violations\": %llu, \"pool_blocks_left\": %llu}\n",
        Json(clock).c_str(), Json(source).c_str(), output.empty() ? "null" : Json(output).c_str(),
        snapshot.empty() ? "null" : Json(snapshot).c_str(), Number(streamSeconds).c_str(),
        static_cast<unsigned long long>(framesPushed),
        static_cast<unsigned long long>(framesDelivered),
        static_cast<unsigned long long>(framesCancelled), Number(deliveredFps).c_str(),
        Number(latenessMs.Median()).c_str(), Number(latenessMs.Percentile(99)).c_str(),
        Number(latenessMs.Max()).c_str(), Number(jitterMs.Median()).c_str(),
        Number(jitterMs.Percentile(99)).c_str(), Number(jitterMs.Max()).c_str(), latency.c_str(),
        tickDuration.c_str(), static_cast<unsigned long long>(TicksWithoutBuffer()),
        static_cast<unsigned long long>(pictureNumberErrors),
        static_cast<unsigned long long>(shortFrames), static_cast<unsigned long long>(violations),
        static_cast<unsigned long long>(poolBlocksLeft));
    std::fflush(out);
}

}  // namespace vcam
