// vcam: the VantriCamera driver end to end on the host kernel.
//   vcam run     push frames (built-in pattern, a Y4M file, raw frames on
//                standard input) and capture what the camera delivers
//   vcam info    what a capture application sees of the camera
//   vcam check   a conformance run through the client calls
#include "tools/vcam/Camera.h"
#include "tools/vcam/CaptureSession.h"
#include "tools/vcam/Conformance.h"
#include "tools/vcam/Info.h"
#include "tools/vcam/Interrupt.h"
#include "tools/vcam/ToolError.h"

#include <host/variants/Variants.h>

#include <CLI/CLI.hpp>

#include <cstdio>
#include <string>

namespace {

const char kExitCodes[] =
    "Exit codes:\n"
    "  0  success\n"
    "  1  usage: the command line is wrong\n"
    "  2  input or output: a file is missing, malformed, cut short, or of the wrong size or "
    "format\n"
    "  3  camera: the driver or the host kernel refused a step (the message names it)\n"
    "  4  nonconformance: a check failed (vcam check), or the verifier recorded a violation\n"
    "     or pool blocks were left after the device was removed (vcam run)\n"
    "\n"
    "Examples:\n"
    "  vcam run                                  built-in pattern, 5 s, capture.y4m + "
    "snapshot.png\n"
    "  vcam run --virtual --input clip.y4m --output cap.y4m\n"
    "  ffmpeg -re -f lavfi -i testsrc2=size=1280x720:rate=30 -f rawvideo -pix_fmt yuv420p - |\n"
    "      vcam run --input - --input-format i420\n"
    "  vcam run --output - | ffplay -\n"
    "  vcam check\n"
    "  vcam check --driver build/kernel/VantriCamera.sys\n";

// --clock: when the client assigns the pin its master clock.
host::PinOptions::Clock ClockOption(const std::string& name) {
    if (name == "none") return host::PinOptions::Clock::None;
    if (name == "early") return host::PinOptions::Clock::BeforeAcquire;
    if (name == "late") return host::PinOptions::Clock::BeforePause;
    return host::PinOptions::Clock::AsVariant;
}

int RunCommand(const vcam::RunOptions& options, bool json) {
    vcam::CaptureSession session(options);
    vcam::RunReport report = session.Run();
    // Standard output may be the video itself; the report then goes to
    // standard error.
    std::FILE* out = options.output == "-" ? stderr : stdout;
    if (json) {
        report.PrintJson(out);
    } else {
        report.PrintText(out);
    }
    if (!report.Clean()) {
        std::fprintf(stderr, "vcam: the verifier found %llu violations and %llu pool blocks left\n",
                     static_cast<unsigned long long>(report.violations),
                     static_cast<unsigned long long>(report.poolBlocksLeft));
        return vcam::kExitNonConformant;
    }
    return vcam::kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"vcam: the VantriCamera driver end to end on the host kernel", "vcam"};
    app.footer(kExitCodes);
    app.require_subcommand(0, 1);

    vcam::RunOptions run;
    bool json = false;
    CLI::App* runCommand = app.add_subcommand(
        "run",
        "Load the driver, push frames through the frame injection property and capture them");
    runCommand->add_option(
        "-i,--input", run.input,
        "FILE.y4m (1280x720 4:2:0), a raw file, or - for raw frames on standard input "
        "(default: the built-in pattern)");
    runCommand
        ->add_option("-f,--input-format", run.inputFormat,
                     "i420 or rgb24 for raw frames (rgb24: B,G,R bytes, top row first), y4m for a "
                     "Y4M stream on standard input (default: y4m for files, i420 for -)")
        ->check(CLI::IsMember({"i420", "rgb24", "y4m"}));
    runCommand->add_option(
        "-r,--rate", run.rate,
        "push rate, e.g. 30, 29.97 or 30000/1001 (default: the Y4M F tag; 30000/1001 "
        "for raw input and the pattern)");
    runCommand->add_flag("--loop", run.loop, "start the input file again at its end");
    runCommand
        ->add_option("-o,--output", run.output,
                     "captured video as Y4M 4:2:2 (C422), - for standard output, none for nothing")
        ->capture_default_str();
    runCommand
        ->add_option("--snapshot", run.snapshot,
                     "the last captured frame as RGB PNG, none for nothing")
        ->capture_default_str();
    runCommand
        ->add_option(
            "-s,--seconds", run.seconds,
            "stream time to run (default: 5 for the pattern or a looped file, else until the "
            "input ends)")
        ->check(CLI::PositiveNumber);
    runCommand->add_option("-n,--frames", run.frames, "stop after this many delivered frames")
        ->check(CLI::PositiveNumber);
    runCommand->add_flag(
        "--virtual", run.virtualClock,
        "run on the virtual clock: exact, repeatable, as fast as the machine allows");
    runCommand->add_option("--buffers", run.buffers, "capture buffers kept queued on the pin")
        ->capture_default_str()
        ->check(CLI::Range(1, 64));
    runCommand->add_flag("--json", json, "print the summary as one JSON object");
    std::string clock = "variant";
    runCommand
        ->add_option("--clock", clock,
                     "when the pin gets a master clock: none, early (before ACQUIRE), late (as it "
                     "goes to PAUSE, after ACQUIRE), or variant (as the master-clock variant says)")
        ->capture_default_str()
        ->check(CLI::IsMember({"none", "early", "late", "variant"}));
    bool listVariants = false;
    app.add_flag("--list-variants", listVariants,
                 "print every platform variant (VCAM_VARIANTS=switch=option,...) and exit");

    CLI::App* infoCommand = app.add_subcommand(
        "info", "Show what a capture application sees: interfaces, filter, pin, formats");

    vcam::ConformanceOptions check;
    CLI::App* checkCommand = app.add_subcommand(
        "check",
        "Conformance run through the client calls: identity, formats, pin, streaming, injection");
    checkCommand
        ->add_option("-n,--frames", check.frames, "frames to stream in the streaming section")
        ->capture_default_str()
        ->check(CLI::Range(3, 1000));
    checkCommand->add_flag("--virtual", check.virtualClock, "run on the virtual clock");
    checkCommand->footer(
        "Self-test: VCAM_CHECK_BREAK=1 makes one check expect a wrong frame Duration, so the run "
        "must "
        "fail with exactly that check named.");

    // Every command can run the built driver image instead of the host build.
    std::string driverImage;
    for (CLI::App* command : {runCommand, infoCommand, checkCommand}) {
        command->add_option("--driver", driverImage,
                            "run the built driver image FILE.sys (the shipped bytes, mapped by "
                            "the host's loader) instead of the host build of the driver");
    }

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        int code = app.exit(error);
        return code == 0 ? vcam::kExitOk : vcam::kExitUsage;
    }

    if (listVariants) {
        std::fputs(host::Variants::Catalogue().c_str(), stdout);
        return vcam::kExitOk;
    }
    if (app.get_subcommands().empty()) {
        std::fputs(app.help().c_str(), stderr);
        return vcam::kExitUsage;
    }
    run.clock = ClockOption(clock);

    vcam::Interrupt::Install();
    vcam::Camera::UseDriverImage(driverImage);
    try {
        if (*runCommand) return RunCommand(run, json);
        if (*infoCommand) return vcam::Info::Print(stdout);
        if (*checkCommand) return vcam::Conformance(check, stdout).Run();
    } catch (const vcam::ToolError& error) {
        std::fprintf(stderr, "vcam: %s\n", error.what());
        return error.Code();
    } catch (const std::exception& error) {
        std::fprintf(stderr, "vcam: %s\n", error.what());
        return vcam::kExitCamera;
    }
    return vcam::kExitUsage;
}
