// Entry of the benchmarks: the kernel starts as the application starts it,
// so the symbol table and common symbols exist before anything is timed.
#include <benchmark/benchmark.h>

#include "app/app_internal.h"
#include "app/mainthread_internal.h"
#include "app/startup.h"

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    if (kivo_startup() != 0) return 2;
    kivoapplication_init();
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    kivo::app::mainthread_ui_shutdown();
    return 0;
}
