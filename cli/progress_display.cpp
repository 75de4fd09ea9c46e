#include "cli/progress_display.h"

#include "files/i18n.h"  // _ and N_ are macros
#include "jobs/outcome.h"

namespace velko::cli {

using namespace velko::files;
using namespace velko::jobs;

ProgressDisplay::ProgressDisplay(std::FILE* out, std::vector<std::string> labels)
    : out_(out), start_(Clock::now()) {
    for (auto& label : labels) rows_.push_back({std::move(label), _("starting"), 0, -1});
    if (out_) draw(true);
}

void ProgressDisplay::update(size_t row, long done, long total) {
    if (!out_) return;
    std::lock_guard<std::mutex> hold(mutex_);
    const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
    const double rate = seconds > 0 ? done / seconds : 0;
    Row& r = rows_[row];
    r.done = done;
    r.total = total;
    if (total >= 0) {
        r.state = formatted("%ld/%ld  %.1f/s  ", done, total, rate) +
                  (rate > 0 ? formatted(_("%s left"), formatDuration((total - done) / rate).c_str())
                            : "");
    } else {
        r.state = formatted(_("%ld so far  %.1f/s"), done, rate);
    }
    draw(done == total);
}

void ProgressDisplay::finish(size_t row, const std::string& outcome) {
    if (!out_) return;
    std::lock_guard<std::mutex> hold(mutex_);
    rows_[row].state = outcome;
    draw(true);
}

void ProgressDisplay::draw(bool force) {
    // Ten redraws a second are enough for the eye and cost the terminal nothing.
    const auto now = Clock::now();
    if (!force && now - lastDraw_ < std::chrono::milliseconds(100)) return;
    lastDraw_ = now;
    size_t width = 0;
    for (const Row& r : rows_) width = std::max(width, r.label.size());
    if (drawn_) std::fprintf(out_, "\x1b[%zuA", rows_.size());
    for (const Row& r : rows_) {
        std::fprintf(out_, "\r\x1b[2K%-*s  %s\n", int(width), r.label.c_str(), r.state.c_str());
    }
    std::fflush(out_);
    drawn_ = true;
}

}  // namespace velko::cli
