// Runs the velko-sim program for a test and knows the terminal it serves.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velko::test {

class SimProcess {
  public:
    explicit SimProcess(const std::vector<std::string>& args = {});
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& path() const { return path_; }

  private:
    pid_t pid_ = -1;
    std::string path_;
};

}  // namespace velko::test
