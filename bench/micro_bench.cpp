// Throughput of the pieces every article passes through: the CRC, the reply parser, the
// tool's CSV reader with its checks, and a list compared with a device's table (Google
// Benchmark; bytes or rows per second).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "files/article_file.h"
#include "files/validate.h"
#include "jobs/sync.h"
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
    const auto codec = velko::files::makeTextCodec();
    for (auto _ : state) {
        std::vector<velko::files::Row> rows;
        std::vector<velko::files::Fault> faults;
        std::vector<ArticleRecord> records;
        velko::files::readArticleText("bench", velko::files::Format::Csv, csv, rows, faults);
        velko::files::validateRows("bench", rows, velko::files::RowUse::Upload, *codec, records,
                                   faults);
        benchmark::DoNotOptimize(records.data());
    }
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(CsvReader)->Arg(1000)->Arg(100000)->Unit(benchmark::kMillisecond);

// A list against a device's table of as many articles: the table in code order with 14-digit
// codes as a download gives them, the list shuffled with short codes, one article in a hundred
// changed, one new and one gone in a thousand.
void CompareTables(benchmark::State& state) {
    std::vector<ArticleRecord> list, held;
    const auto set = [](char* field, size_t size, const std::string& text) {
        std::memset(field, 0, size);
        text.copy(field, size - 1);
    };
    for (int64_t i = 0; i < state.range(0); ++i) {
        ArticleRecord r{};
        set(r.code, sizeof r.code, "0" + std::to_string(5900001000000LL + i));
        set(r.name, sizeof r.name,
            "\xA3\xD3"
            "D\x8F " +
                std::to_string(i));  // ŁÓDŹ
        r.price = int32_t(100 + i % 5000);
        if (i % 1000 != 999) held.push_back(r);
        set(r.code, sizeof r.code,
            std::to_string((i % 1000 == 0 ? 5910001000000LL : 5900001000000LL) + i));
        set(r.name, sizeof r.name,
            "\xB3\xF3"
            "d\x9F " +
                std::to_string(i));  // łódź
        if (i % 100 == 50) r.price += 1;
        list.push_back(r);
    }
    std::shuffle(list.begin(), list.end(), std::mt19937(7));
    for (auto _ : state) benchmark::DoNotOptimize(velko::jobs::compareTables(list, held));
    state.SetItemsProcessed(int64_t(state.iterations()) * state.range(0));
}
BENCHMARK(CompareTables)->Arg(5000)->Arg(100000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
