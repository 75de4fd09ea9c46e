// How far the running jobs are, told to whoever shows it: the tool's terminal display, the
// service's job log. Each line's job reports from its own thread, under its row.
#pragma once

#include <cstddef>
#include <string>

namespace velko::jobs {

class Progress {
  public:
    virtual ~Progress() = default;
    // `total` < 0: not known.
    virtual void update(size_t row, long done, long total) = 0;
    virtual void finish(size_t row, const std::string& outcome) = 0;
};

}  // namespace velko::jobs
