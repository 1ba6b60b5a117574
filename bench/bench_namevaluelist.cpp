// Throughput of the brace list parser, and how its time grows with the number of items.

#include "channel/cmds.h"

#include <benchmark/benchmark.h>

#include <string>

namespace {

std::string ListText(int items) {
    std::string text = "Partnership p Attributes = {";
    for (int i = 0; i < items; ++i) {
        if (i > 0)
            text += ", ";
        text += "attribute_" + std::to_string(i) + "=value " + std::to_string(i * 7919);
    }
    return text + "}";
}

void BM_ParseNameValueList(benchmark::State& state) {
    const int items = static_cast<int>(state.range(0));
    const std::string text = ListText(items);
    if (TCommandHandler::ParseNameValueList(text, "Attributes = {").size() !=
        static_cast<std::size_t>(items)) {
        state.SkipWithError("unexpected pairs");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(TCommandHandler::ParseNameValueList(text, "Attributes = {"));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) *
                            static_cast<int64_t>(text.size()));
    state.SetComplexityN(items);
    state.counters["bytes"] = static_cast<double>(text.size());
}
BENCHMARK(BM_ParseNameValueList)
    ->RangeMultiplier(10)
    ->Range(10, 100000)
    ->UseRealTime()
    ->Complexity(benchmark::oN);

} // namespace
