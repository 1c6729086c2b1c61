#include "tools/vcam/SourceFactory.h"

#include "tools/vcam/RawFrameReader.h"
#include "tools/vcam/TestPattern.h"
#include "tools/vcam/ToolError.h"
#include "tools/vcam/Y4mReader.h"

namespace vcam {

namespace {

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() &&
           text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

}  // namespace

std::unique_ptr<FrameSource> SourceFactory::Open(const SourceOptions& options) {
    if (options.input.empty()) {
        if (!options.inputFormat.empty()) {
            throw ToolError(kExitUsage,
                            "--input-format describes an --input; the built-in pattern has none");
        }
        if (options.loop) throw ToolError(kExitUsage, "--loop needs an --input file");
        FrameRate rate = options.rate.empty() ? FrameRate::Ntsc() : FrameRate::Parse(options.rate);
        return std::make_unique<TestPattern>(rate);
    }
    std::string format = options.inputFormat;
    if (format.empty()) format = options.input == "-" ? "i420" : "y4m";
    if (format == "y4m") {
        auto reader = std::make_unique<Y4mReader>(options.input, options.loop);
        if (options.rate.empty()) return reader;
        // A rate given on the command line overrides the file's F tag.
        struct Override : FrameSource {
            std::unique_ptr<Y4mReader> inner;
            FrameRate rate;
            PixelFormat Format() const override { return inner->Format(); }
            FrameRate Rate() const override { return rate; }
            bool Next(std::vector<uint8_t>& frame) override { return inner->Next(frame); }
            bool Finite() const override { return inner->Finite(); }
            std::string Describe() const override {
                return inner->Describe() + ", paced at " + rate.ToString() + " fps";
            }
        };
        auto paced = std::make_unique<Override>();
        paced->inner = std::move(reader);
        paced->rate = FrameRate::Parse(options.rate);
        return paced;
    }
    if (format != "i420" && format != "rgb24") {
        throw ToolError(kExitUsage, "--input-format is i420, rgb24 or y4m, not '" + format + "'");
    }
    if (options.input != "-" && EndsWith(options.input, ".y4m")) {
        throw ToolError(kExitUsage,
                        options.input + " looks like Y4M; leave out --input-format " + format);
    }
    FrameRate rate = options.rate.empty() ? FrameRate::Ntsc() : FrameRate::Parse(options.rate);
    return std::make_unique<RawFrameReader>(
        options.input, format == "i420" ? PixelFormat::I420 : PixelFormat::Rgb24, rate,
        options.loop);
}

}  // namespace vcam
