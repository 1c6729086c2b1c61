// The frame path's speed against outside yardsticks, at 1280 x 720:
//   - ConvertI420ToYuy2 against libyuv's I420ToYUY2, and both against the
//     floor under any conversion: the C library moving the same bytes;
//   - ConvertRgb24ToYuy2 against libyuv's fastest way to the same YUY2
//     (RGB24 -> ARGB -> YUY2, whole frame or row by row, whichever is faster),
//     on the path this processor gets and on the SSE2 path every x64 has;
//   - one running tick (the fill of one YUY2 capture buffer straight from the
//     published image slot) against one memcpy of the image size.
// Every benchmark runs in repeated, randomly interleaved runs so that a busy
// machine disturbs all of them alike; the ratios use the median CPU time of
// the runs (single-threaded work, so CPU time is the work itself, without the
// time the thread spent preempted) and are printed one per line as
// "ratio <name> <value>".
#include "driver/device/Pool.h"
#include "driver/engine/FrameConversion.h"
#include "driver/engine/FrameEngine.h"
#include "driver/engine/Yuy2Layout.h"

#include <benchmark/benchmark.h>
#include <host/executive/HostKernel.h>
#include <libyuv/convert_argb.h>
#include <libyuv/convert_from.h>
#include <libyuv/convert_from_argb.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

constexpr int kWidth = 1280;
constexpr int kHeight = 720;
constexpr size_t kYuy2Size = size_t{kWidth} * kHeight * 2;
constexpr size_t kI420Size = size_t{kWidth} * kHeight * 3 / 2;
constexpr size_t kRgbSize = size_t{kWidth} * kHeight * 3;

// 64-byte aligned blocks, the same for ours and theirs.
struct Block {
    explicit Block(size_t size) : data(static_cast<uint8_t*>(std::aligned_alloc(64, Round(size)))) {
        for (size_t i = 0; i < size; ++i) {
            data[i] = static_cast<uint8_t>(i * 2654435761u >> 13);
        }
    }
    ~Block() { std::free(data); }
    static size_t Round(size_t size) { return (size + 63) / 64 * 64; }
    uint8_t* data;
};

// One 1280 x 720 I420 -> YUY2 conversion per iteration, by `convert`, which
// takes libyuv's argument order (ours has the same).
template <typename Convert>
void RunI420ToYuy2(benchmark::State& state, Convert convert) {
    Block source(kI420Size), destination(kYuy2Size);
    const uint8_t* y = source.data;
    const uint8_t* u = y + kWidth * kHeight;
    const uint8_t* v = u + kWidth * kHeight / 4;
    for (auto _ : state) {
        convert(y, kWidth, u, kWidth / 2, v, kWidth / 2, destination.data, kWidth * 2, kWidth,
                kHeight);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kI420Size + kYuy2Size)));
}

void BM_I420ToYuy2_Ours(benchmark::State& state) {
    RunI420ToYuy2(state, ConvertI420ToYuy2);
}

void BM_I420ToYuy2_Libyuv(benchmark::State& state) {
    RunI420ToYuy2(state, libyuv::I420ToYUY2);
}

// The floor under any I420 -> YUY2 conversion of this size: no arithmetic,
// only the traffic every conversion has (read the whole I420 frame, write the
// whole YUY2 frame once), moved by the C library's tuned memcpy and memset.
// A 1280 x 720 frame and its output outgrow the core's own caches, so this
// traffic, not the unpacking, sets the pace: libyuv's time over the floor is
// all the room there is for any conversion to run faster than libyuv.
void BM_I420SizedCopyFloor(benchmark::State& state) {
    Block source(kI420Size), destination(kYuy2Size);
    benchmark::DoNotOptimize(source.data);
    benchmark::DoNotOptimize(destination.data);
    for (auto _ : state) {
        std::memcpy(destination.data, source.data, kI420Size);
        std::memset(destination.data + kI420Size, 0x80, kYuy2Size - kI420Size);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * (kI420Size + kYuy2Size)));
}

void BM_Rgb24ToYuy2_Ours(benchmark::State& state) {
    Block source(kRgbSize), destination(kYuy2Size);
    for (auto _ : state) {
        ConvertRgb24ToYuy2(source.data, kWidth * 3, destination.data, kWidth * 2, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
}

// The path a processor without SSSE3 takes.
void BM_Rgb24ToYuy2_OursSse2(benchmark::State& state) {
    Block source(kRgbSize), destination(kYuy2Size);
    for (auto _ : state) {
        ConvertRgb24ToYuy2On(Rgb24Path::Sse2, source.data, kWidth * 3, destination.data, kWidth * 2,
                             kWidth, kHeight);
        benchmark::ClobberMemory();
    }
}

// libyuv has no direct RGB24 -> YUY2; its way there goes through ARGB.
void BM_Rgb24ToYuy2_LibyuvWholeFrame(benchmark::State& state) {
    Block source(kRgbSize), argb(size_t{kWidth} * kHeight * 4), destination(kYuy2Size);
    for (auto _ : state) {
        libyuv::RGB24ToARGB(source.data, kWidth * 3, argb.data, kWidth * 4, kWidth, kHeight);
        libyuv::ARGBToYUY2(argb.data, kWidth * 4, destination.data, kWidth * 2, kWidth, kHeight);
        benchmark::ClobberMemory();
    }
}

void BM_Rgb24ToYuy2_LibyuvRowByRow(benchmark::State& state) {
    Block source(kRgbSize), argb(size_t{kWidth} * 4), destination(kYuy2Size);
    for (auto _ : state) {
        for (int row = 0; row < kHeight; ++row) {
            libyuv::RGB24ToARGB(source.data + size_t{kWidth} * 3 * row, kWidth * 3, argb.data,
                                kWidth * 4, kWidth, 1);
            libyuv::ARGBToYUY2(argb.data, kWidth * 4, destination.data + size_t{kWidth} * 2 * row,
                               kWidth * 2, kWidth, 1);
        }
        benchmark::ClobberMemory();
    }
}

class IdleOwner final : public FrameTickOwner {
  public:
    void OnFrameTick() override {}
};

// One running tick of the YUY2 1280 x 720 engine: the fill of one queued
// capture buffer from the published image slot (queued again before every tick, as the
// pin keeps it supplied). Runs on the virtual clock, "in the DPC".
void BM_EngineTick(benchmark::State& state) {
    host::HostKernel::Boot(host::ClockMode::Virtual);
    IdleOwner owner;
    Yuy2Layout layout;
    void* memory = PoolAllocateZeroed(sizeof(FrameEngine), NonPagedPoolNx, VCAM_TAG_ENGINE);
    FrameEngine* engine = new (memory) FrameEngine(&owner);
    if (engine->Start(&layout, 333667, kWidth, kHeight, static_cast<ULONG>(kYuy2Size)) !=
        STATUS_SUCCESS) {
        state.SkipWithError("engine start failed");
        return;
    }
    Block frame(kI420Size), capture(kYuy2Size);
    engine->WriteFrame(frame.data, static_cast<ULONG>(kI420Size));
    KSSTREAM_HEADER header{};
    header.Size = sizeof(KSSTREAM_HEADER);
    KSSTREAM_POINTER pointer{};
    pointer.StreamHeader = &header;
    for (auto _ : state) {
        PUCHAR cursor = capture.data;
        engine->QueueBuffer(&pointer, &cursor, static_cast<ULONG>(kYuy2Size));
        {
            host::ScopedIrql dispatch(DISPATCH_LEVEL);
            engine->Tick();
        }
        benchmark::ClobberMemory();
    }
    if (engine->CompletedFrameCount() == 0) {
        state.SkipWithError("no buffer was filled");
    }
    engine->Stop();
    ExFreePool(engine);
    host::HostKernel::Shutdown();
}

// The yardstick of the tick: the one copy it cannot avoid.
void BM_OneMemcpy(benchmark::State& state) {
    Block image(kYuy2Size), capture(kYuy2Size);
    benchmark::DoNotOptimize(image.data);
    benchmark::DoNotOptimize(capture.data);
    for (auto _ : state) {
        std::memcpy(capture.data, image.data, kYuy2Size);
        benchmark::ClobberMemory();
    }
}

BENCHMARK(BM_I420ToYuy2_Ours);
BENCHMARK(BM_I420ToYuy2_Libyuv);
BENCHMARK(BM_I420SizedCopyFloor);
BENCHMARK(BM_Rgb24ToYuy2_Ours);
BENCHMARK(BM_Rgb24ToYuy2_OursSse2);
BENCHMARK(BM_Rgb24ToYuy2_LibyuvWholeFrame);
BENCHMARK(BM_Rgb24ToYuy2_LibyuvRowByRow);
BENCHMARK(BM_EngineTick);
BENCHMARK(BM_OneMemcpy);

// Collects the median CPU time of each benchmark while the console shows
// the usual table.
class MedianCollector : public benchmark::ConsoleReporter {
  public:
    explicit MedianCollector(OutputOptions options) : ConsoleReporter(options) {}
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (run.run_type == Run::RT_Aggregate && run.aggregate_name == "median") {
                medians[run.run_name.function_name] = run.GetAdjustedCPUTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    double Median(const std::string& name) const {
        auto found = medians.find(name);
        return found == medians.end() ? 0.0 : found->second;
    }
    std::map<std::string, double> medians;
};

void PrintRatio(const char* name, double ours, double theirs) {
    if (ours > 0.0 && theirs > 0.0) {
        std::printf("ratio %s %.2f\n", name, ours / theirs);
    } else {
        std::printf("ratio %s unavailable\n", name);
    }
}

}  // namespace

int main(int argc, char** argv) {
    // Defaults first, so that flags given on the command line override them.
    std::vector<char*> arguments = {argv[0]};
    char interleave[] = "--benchmark_enable_random_interleaving=true";
    char repetitions[] = "--benchmark_repetitions=15";
    char minTime[] = "--benchmark_min_time=0.1";
    arguments.push_back(interleave);
    arguments.push_back(repetitions);
    arguments.push_back(minTime);
    for (int i = 1; i < argc; ++i) {
        arguments.push_back(argv[i]);
    }
    int count = static_cast<int>(arguments.size());
    benchmark::Initialize(&count, arguments.data());
    if (benchmark::ReportUnrecognizedArguments(count, arguments.data())) {
        return 1;
    }
    // A reporter of our own does not read --benchmark_color, so the table is
    // coloured only on a terminal and only while that flag does not say no.
    bool color = isatty(STDOUT_FILENO) != 0;
    for (int i = 1; i < argc; ++i) {
        const std::string flag = argv[i];
        if (flag == "--benchmark_color=false" || flag == "--benchmark_color=no" ||
            flag == "--benchmark_color=0") {
            color = false;
        }
    }
    MedianCollector collector(color ? benchmark::ConsoleReporter::OO_ColorTabular
                                    : benchmark::ConsoleReporter::OO_Tabular);
    benchmark::RunSpecifiedBenchmarks(&collector);
    benchmark::Shutdown();

    const double libyuvRgb = std::min(collector.Median("BM_Rgb24ToYuy2_LibyuvWholeFrame"),
                                      collector.Median("BM_Rgb24ToYuy2_LibyuvRowByRow"));
    std::fflush(stdout);
    PrintRatio("i420_to_yuy2_vs_libyuv", collector.Median("BM_I420ToYuy2_Ours"),
               collector.Median("BM_I420ToYuy2_Libyuv"));
    PrintRatio("i420_to_yuy2_vs_copy_floor", collector.Median("BM_I420ToYuy2_Ours"),
               collector.Median("BM_I420SizedCopyFloor"));
    PrintRatio("libyuv_i420_to_yuy2_vs_copy_floor", collector.Median("BM_I420ToYuy2_Libyuv"),
               collector.Median("BM_I420SizedCopyFloor"));
    PrintRatio("rgb24_to_yuy2_vs_libyuv", collector.Median("BM_Rgb24ToYuy2_Ours"), libyuvRgb);
    PrintRatio("rgb24_to_yuy2_sse2_vs_libyuv", collector.Median("BM_Rgb24ToYuy2_OursSse2"),
               libyuvRgb);
    PrintRatio("tick_vs_one_memcpy", collector.Median("BM_EngineTick"),
               collector.Median("BM_OneMemcpy"));
    return 0;
}
