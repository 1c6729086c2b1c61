// vcam.exe: the installed VantriCamera on a Windows PC, through the
// documented user-mode kernel streaming calls.
//   vcam feed    push frames (a file, raw frames or Y4M on standard input,
//                or the built-in pattern) into the camera at their rate
//   vcam info    what a capture application sees of the camera
//   vcam check   a conformance run against the camera
#include "tools/vcam/Interrupt.h"
#include "tools/vcam/ToolError.h"
#include "tools/vcam/device/DeviceCheck.h"
#include "tools/vcam/device/DeviceFeed.h"
#include "tools/vcam/device/DeviceInfo.h"
#include "tools/vcam/win32/Win32Transport.h"

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  success\n"
    "  1  usage: the command line is wrong\n"
    "  2  input: a file is missing, malformed, cut short, or of the wrong size or format\n"
    "     (frames pushed before the fault stay pushed)\n"
    "  3  camera: no VantriCamera is installed and started, or it refused a step\n"
    "  4  nonconformance: a check failed (vcam check)\n"
    "\n"
    "Examples:\n"
    "  ffmpeg -re -i clip.mp4 -f rawvideo -pix_fmt yuv420p -s 1280x720 - |\n"
    "      vcam feed --input - --input-format i420\n"
    "  vcam feed --input clip.y4m --loop\n"
    "  vcam info\n"
    "  vcam check\n";

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vcam: feed and check the installed VantriCamera", "vcam"};
    app.footer(kExitCodes);
    app.require_subcommand(1, 1);

    vcam::FeedOptions feed;
    CLI::App* feedCommand = app.add_subcommand(
        "feed", "Push frames into the camera through its frame injection property");
    feedCommand->add_option("-i,--input", feed.source.input,
                            "FILE.y4m (1280x720 4:2:0), a raw file, or - for standard input "
                            "(default: the built-in pattern)");
    feedCommand
        ->add_option("-f,--input-format", feed.source.inputFormat,
                     "i420 or rgb24 for raw frames (rgb24: B,G,R bytes, top row first), y4m for a "
                     "Y4M stream on standard input (default: y4m for files, i420 for -)")
        ->check(CLI::IsMember({"i420", "rgb24", "y4m"}));
    feedCommand->add_option("-r,--rate", feed.source.rate,
                            "push rate, e.g. 30, 29.97 or 30000/1001 (default: the Y4M F tag; "
                            "30000/1001 for raw input and the pattern)");
    feedCommand->add_flag("--loop", feed.source.loop, "start the input file again at its end");
    feedCommand->add_option("-n,--frames", feed.frames, "stop after this many pushes")
        ->check(CLI::PositiveNumber);
    feedCommand->add_option("-s,--seconds", feed.seconds, "stop after this many seconds")
        ->check(CLI::PositiveNumber);

    CLI::App* infoCommand = app.add_subcommand(
        "info", "Show what a capture application sees: signature, pin, formats, framing");

    unsigned frames = 30;
    CLI::App* checkCommand = app.add_subcommand(
        "check", "Conformance run: identity, formats, pin, streaming, injection");
    checkCommand->add_option("-n,--frames", frames, "frames to read in the streaming section")
        ->capture_default_str()
        ->check(CLI::Range(3, 1000));

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? vcam::kExitOk : vcam::kExitUsage;
    }

    vcam::Interrupt::Install();
    try {
        std::unique_ptr<vcam::Win32Transport> camera = vcam::Win32Transport::Open();
        if (*feedCommand) {
            vcam::DeviceFeed(feed, *camera, stdout).Run();
            return vcam::kExitOk;
        }
        if (*infoCommand) return vcam::DeviceInfo::Print(*camera, stdout);
        if (*checkCommand) return vcam::DeviceCheck(*camera, frames, stdout).Run();
    } catch (const vcam::ToolError& error) {
        std::fprintf(stderr, "vcam: %s\n", error.what());
        return error.Code();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vcam: %s\n", error.what());
        return vcam::kExitCamera;
    }
    return vcam::kExitUsage;
}
