// Progress of the running jobs on a terminal: one row per line, redrawn in place, showing
// done/total (or done so far), the rate and the time left. Silent when disabled.
#pragma once

#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "jobs/progress.h"

namespace velko::cli {

class ProgressDisplay : public jobs::Progress {
  public:
    // `labels` name the rows; `out` is the terminal, or null for no display at all.
    ProgressDisplay(std::FILE* out, std::vector<std::string> labels);

    void update(size_t row, long done, long total) override;
    void finish(size_t row, const std::string& outcome) override;

  private:
    using Clock = std::chrono::steady_clock;
    struct Row {
        std::string label, state;
        long done = 0, total = -1;
    };
    void draw(bool force);

    std::FILE* out_;
    std::mutex mutex_;
    std::vector<Row> rows_;
    Clock::time_point start_, lastDraw_;
    bool drawn_ = false;
};

}  // namespace velko::cli
