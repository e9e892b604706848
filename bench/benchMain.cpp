// The micro-benchmarks' main: Google Benchmark's own, whose --help gets a usage line first.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstring>

namespace {

const char* gName = "bench";

void usage() {
    std::printf(
        "Usage: %s [--benchmark_filter=REGEX] [--benchmark_repetitions=N] [OPTION]...\n"
        "Runs micro-benchmarks of borl1d and prints their times (bench/README.md has the\n"
        "commands and the recorded figures). The options are Google Benchmark's:\n\n",
        gName);
    benchmark::PrintDefaultHelp();
}

}  // namespace

int main(int argc, char** argv) {
    const char* slash = std::strrchr(argv[0], '/');
    gName = slash != nullptr ? slash + 1 : argv[0];
    benchmark::Initialize(&argc, argv, usage);  // --help: the usage, exit status 0
    if (benchmark::ReportUnrecognizedArguments(argc, argv))
        return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
