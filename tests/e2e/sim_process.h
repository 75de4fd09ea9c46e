// Runs the velko-sim program for a test and knows the terminal it serves.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace velko::test {

class SimProcess {
  public:
    // Its standard error goes to `errorFile` when one is named.
    explicit SimProcess(const std::vector<std::string>& args = {},
                        const std::string& errorFile = "");
    ~SimProcess();
    SimProcess(const SimProcess&) = delete;
    SimProcess& operator=(const SimProcess&) = delete;

    const std::string& path() const { return path_; }
    // Types a line on the simulator's standard input ("sell 123 2").
    void say(const std::string& line);
    // Interrupts it and waits for it to end; true when it exited cleanly.
    bool stop();
    // Kills it as a crash would, with no chance to finish anything.
    void crash();

  private:
    pid_t pid_ = -1;
    int input_ = -1;
    std::string path_;
};

// What a program run by a test did.
struct Outcome {
    int status = -1;  // the exit status, or -1 when it did not exit normally
    std::string out, err;
};

// Runs `program` with `args`, its standard input from /dev/null, and waits for it.
Outcome runProgram(const std::string& program, const std::vector<std::string>& args);

// Runs `program` with all three standard streams on a new pseudo-terminal, as from a shell
// in a terminal window; returns everything it wrote.
Outcome runOnTerminal(const std::string& program, const std::vector<std::string>& args);

std::string readFile(const std::string& path);
void writeFile(const std::string& path, const std::string& text);

}  // namespace velko::test
