// SPDX-License-Identifier: MIT
// Index bytes per second through the reader, on a generated index held in memory.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "unbcl/index_reader.hpp"

namespace {

std::string makeIndex(int records, bool crlf) {
    const std::string end = crlf ? "\r\n" : "\n";
    std::string index = "BENCH ARCHIVE" + end + std::to_string(records) + " FILES" + end;
    long offset = 0;
    for (int i = 0; i < records; ++i) {
        const long length = 1000 + (i * 7919) % 100000;
        index += "[member-" + std::to_string(i) + ".bin]" + end + std::to_string(offset) + end +
                 std::to_string(length) + end;
        offset = (offset + length) % 2000000000;  // stays a valid signed 32-bit number
    }
    return index;
}

void readWholeIndex(benchmark::State& state, bool crlf) {
    const std::string index = makeIndex(static_cast<int>(state.range(0)), crlf);
    for (auto _ : state) {
        unbcl::IndexReader reader(unbcl::readFromMemory(index));
        benchmark::DoNotOptimize(reader.readHeaderLine());
        benchmark::DoNotOptimize(reader.readHeaderLine());
        std::size_t entries = 0;
        while (auto entry = reader.nextEntry()) {
            benchmark::DoNotOptimize(*entry);
            ++entries;
        }
        if (entries != static_cast<std::size_t>(state.range(0))) state.SkipWithError("entries lost");
    }
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * static_cast<std::int64_t>(index.size()));
}

void BM_ReadIndexLF(benchmark::State& state) { readWholeIndex(state, false); }
void BM_ReadIndexCRLF(benchmark::State& state) { readWholeIndex(state, true); }

BENCHMARK(BM_ReadIndexLF)->Arg(200000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ReadIndexCRLF)->Arg(200000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
