// How the upload, the download and the deletion scale with the length of their list, on the
// simulated line: allocations and live memory during the job, and virtual time per article
// against the protocol's floor (the 100 ms pause before each frame and the 20 ms pause after
// each acknowledgement; the simulated wire itself takes no time). Then the tool's reading and
// checking of a CSV or JSON list, which keeps each good row's 48-byte record and nothing
// else. Exits non-zero when a job's memory grows with the list, or the reader's by more than
// its records.
#include <malloc.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <new>

#include "files/validate.h"
#include "link/velko_comm.h"
#include "sim/device_model.h"
#include "sim/sim_line.h"

namespace {

bool counting = false;
long long allocations = 0, liveBytes = 0, peakBytes = 0;

}  // namespace

void* operator new(size_t n) {
    void* p = std::malloc(n ? n : 1);
    if (!p) throw std::bad_alloc();
    if (counting) {
        ++allocations;
        liveBytes += (long long)malloc_usable_size(p);
        if (liveBytes > peakBytes) peakBytes = liveBytes;
    }
    return p;
}
void operator delete(void* p) noexcept {
    if (p && counting) liveBytes -= (long long)malloc_usable_size(p);
    std::free(p);
}
void operator delete(void* p, size_t) noexcept {
    operator delete(p);
}

namespace {

int32_t articles = 0;

int32_t VELKO_CALL supply(const char*, int32_t index, ArticleRecord* r, uint32_t) {
    if (index >= articles) return 0;
    std::snprintf(r->code, sizeof r->code, "%d", index + 1);
    std::snprintf(r->name, sizeof r->name, "\xA3\xF3\x64\x9F %d", index);
    r->price = index * 7;
    return 1;
}

struct Result {
    long long allocations, peakBytes;
    double virtualMsPerArticle, cpuUsPerArticle;
};

int32_t VELKO_CALL consume(const char*, int32_t, ArticleRecord*, uint32_t) {
    return 1;
}

// The process's CPU time: the simulated line never sleeps, so this is the library's own work.
double cpuUs() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return t.tv_sec * 1e6 + t.tv_nsec / 1e3;
}

enum Job { Upload, Download, Delete };
const char* const kJobNames[] = {"upload", "download", "delete"};

Result run(Job job, int32_t count) {
    articles = count;
    velko::SimLine line;
    line.keepHistory = false;
    // A device that answers everything without keeping a table that would grow with the list:
    // "D" to every command, and to a download's "I0;1;" and "G" the next listing line (the
    // same line with the next code every time) until the list ends. The device's own work is
    // not counted.
    const velko::Bytes yes = velko::encodeFrame("D");
    const velko::Bytes ack{0x06};
    bool frameEnding = false;  // the CRC bytes follow the 0x0D of a frame
    int32_t listed = 0;
    line.setPeer([&](const velko::Bytes& written, velko::SimLine& l) {
        if (written.size() == 4 && written[0] == 0x11) l.deliver(yes);
        if (frameEnding && written.size() == 2) {
            l.deliver(ack);
            counting = false;
            if (job == Download && listed++ < count) {
                l.deliver(velko::encodeFrame("0;" + std::to_string(listed) +
                                             ";ABC;1;12.50;1;3.500;43.75;"));
            } else {
                l.deliver(yes);
            }
            counting = true;
        }
        frameEnding = written.size() == 1 && written[0] == 0x0D;
    });
    velko::VELKOComm link(line);
    velko::ReplyString sessionText;
    int32_t done = 0, refused = 0;
    sessionText.reserve(16);
    allocations = liveBytes = peakBytes = 0;
    const double start = cpuUs();
    counting = true;
    int32_t rc = VELKO_OK;
    if (job == Upload)
        rc = link.sendArticles(1, 9600, 0, 1, 1, 1, sessionText, supply, nullptr, 0, done, refused);
    if (job == Download) rc = link.receiveArticles(1, 9600, 1, sessionText, consume, 0, done);
    if (job == Delete) rc = link.deleteArticles(1, 9600, 1, sessionText, supply, 0, done);
    counting = false;
    const double cpu = cpuUs() - start;
    if (rc != VELKO_OK || done != count) {
        std::fprintf(stderr, "%s of %d failed: %d (%d done)\n", kJobNames[job], count, rc, done);
        std::exit(2);
    }
    return {allocations, peakBytes, double(line.now()) / count, cpu / count};
}

// Reads and checks a CSV or JSON list of `count` articles as `velko upload` does: the peak of
// live memory during the read, and the CPU per row.
Result readList(int32_t count, bool json) {
    const std::string path =
        "/tmp/velko-bench-" + std::to_string(getpid()) + (json ? ".json" : ".csv");
    {
        std::ofstream out(path);
        out << (json ? "[" : "code,name,price,flag,group\n");
        for (int32_t i = 1; i <= count; ++i) {
            const long long code = 5900000000000LL + i;
            if (json)
                out << (i > 1 ? ",\n" : "") << "{\"code\": \"" << code
                    << "\", \"name\": \"ARTYKU\xC5\x81 " << i << "\", \"price\": \"" << i % 90
                    << ".99\", \"flag\": \"0\", \"group\": \"1\"}";
            else
                out << code << ",ARTYKU\xC5\x81 " << i << "," << i % 90 << ".99,0,1\n";
        }
        if (json) out << "]\n";
    }
    std::vector<velko::files::Fault> faults;
    std::vector<ArticleRecord> records;
    const auto codec = velko::files::makeTextCodec();
    allocations = liveBytes = peakBytes = 0;
    const double start = cpuUs();
    counting = true;
    velko::files::loadArticleFile(path, velko::files::RowUse::Upload, *codec, records, faults);
    counting = false;
    const double cpu = cpuUs() - start;
    unlink(path.c_str());
    if (!faults.empty() || records.size() != size_t(count)) {
        std::fprintf(stderr, "reading %d articles failed\n", count);
        std::exit(2);
    }
    return {allocations, peakBytes, 0, cpu / count};
}

}  // namespace

int main(int argc, char** argv) {
    const int32_t largest = argc > 1 ? std::atoi(argv[1]) : 10000;
    // Every article costs one frame (100 ms before it) and one received reply (20 ms after it).
    const double floorMs = 100 + 20;
    std::printf("%-9s %9s %12s %11s %14s %9s %10s\n", "job", "articles", "allocations",
                "peak bytes", "virtual ms/art", "vs floor", "cpu us/art");
    bool flat = true;
    for (Job job : {Upload, Download, Delete}) {
        Result first{};
        for (int32_t n = 10; n <= largest; n *= 10) {
            const Result r = run(job, n);
            if (n == 10) first = r;
            if (job == Download) {
                // The download keeps each code it has seen, to refuse a code listed twice (a
                // dialogue out of step): a hash set's node and bucket, under 64 bytes a code.
                flat = flat && r.peakBytes <= first.peakBytes + 64LL * n;
            } else {
                flat = flat && r.allocations == first.allocations && r.peakBytes == first.peakBytes;
            }
            std::printf("%-9s %9d %12lld %11lld %14.1f %8.3fx %10.1f\n", kJobNames[job], n,
                        r.allocations, r.peakBytes, r.virtualMsPerArticle,
                        r.virtualMsPerArticle / floorMs, r.cpuUsPerArticle);
        }
    }
    std::printf(flat ? "memory is flat in the length of the list (the download: its codes)\n"
                     : "MEMORY GROWS with the length of the list\n");

    // The records themselves grow with the list (all are checked before the first is sent);
    // a growing vector briefly holds its old and its new storage: at most three times theirs.
    std::printf("\n%-9s %9s %11s %14s %10s\n", "reader", "articles", "peak bytes", "bytes/article",
                "cpu us/art");
    bool lean = true;
    for (bool json : {false, true}) {
        for (int32_t n = 10; n <= largest; n *= 10) {
            const Result r = readList(n, json);
            const long long peak = r.peakBytes;
            lean = lean && peak <= 3LL * int(sizeof(ArticleRecord)) * n + 256 * 1024;
            std::printf("%-9s %9d %11lld %14.1f %10.1f\n", json ? "json" : "csv", n, peak,
                        double(peak) / n, r.cpuUsPerArticle);
        }
    }
    std::printf(lean ? "the reader keeps the records and nothing more\n"
                     : "THE READER KEEPS MORE than the records\n");
    return flat && lean ? 0 : 1;
}
