// Throughput of the pieces every article passes through: the CRC, the reply parser and the
// tool's CSV reader with its checks (Google Benchmark; bytes or rows per second).
#include <benchmark/benchmark.h>

#include <string>
#include <vector>

#include "cli/article_file.h"
#include "cli/validate.h"
#include "link/crc16.h"
#include "link/velko_comm.h"

namespace {

void Crc16(benchmark::State& state) {
    const std::string text(size_t(state.range(0)), 'A');
    for (auto _ : state)
        benchmark::DoNotOptimize(velko::crc16(text.data(), uint32_t(text.size()), 0));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(Crc16)->Arg(64)->Arg(256);

void ArticleReply(benchmark::State& state) {
    const std::string listing = "0;5900001000017;CHLEB _YTNI;1;4.50;0;2.500;11.25;";
    velko::ReplyString reply, field;
    ArticleRecord record{};
    for (auto _ : state) {
        reply = listing;
        benchmark::DoNotOptimize(velko::parseArticleReply(reply, field, record));
    }
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(state.iterations() * listing.size()));
}
BENCHMARK(ArticleReply);

void CsvReader(benchmark::State& state) {
    std::string csv = "code,name,price,flag,group\n";
    for (int64_t i = 1; i <= state.range(0); ++i)
        csv +=
            std::to_string(5900001000000 + i) + ",\"ŁÓDŹ, " + std::to_string(i) + "\",4.50,0,1\n";
    const auto codec = velko::cli::makeTextCodec();
    for (auto _ : state) {
        std::vector<velko::cli::Row> rows;
        std::vector<velko::cli::Fault> faults;
        std::vector<ArticleRecord> records;
        velko::cli::readArticleText("bench", velko::cli::Format::Csv, csv, rows, faults);
        velko::cli::validateRows("bench", rows, velko::cli::RowUse::Upload, *codec, records,
                                 faults);
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(CsvReader)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
