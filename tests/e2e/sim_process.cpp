#include "sim_process.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace velko::test {
namespace {

[[noreturn]] void exec(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(program.c_str(), argv.data());
    _exit(127);
}

int waitFor(pid_t pid) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string temporaryFile() {
    char name[] = "/tmp/velko-run-XXXXXX";
    const int fd = mkstemp(name);
    if (fd < 0) throw std::runtime_error("mkstemp");
    close(fd);
    return name;
}

}  // namespace

SimProcess::SimProcess(const std::vector<std::string>& args, const std::string& errorFile) {
    int out[2], in[2];
    if (pipe(out) != 0 || pipe(in) != 0) throw std::runtime_error("pipe");
    pid_ = fork();
    if (pid_ == 0) {
        dup2(out[1], STDOUT_FILENO);
        dup2(in[0], STDIN_FILENO);
        if (!errorFile.empty())
            dup2(open(errorFile.c_str(), O_WRONLY | O_CREAT, 0644), STDERR_FILENO);
        for (int fd : {out[0], out[1], in[0], in[1]}) close(fd);
        exec(VELKO_SIM_PROGRAM, args);
    }
    close(out[1]);
    close(in[0]);
    input_ = in[1];
    char c;
    while (read(out[0], &c, 1) == 1 && c != '\n') path_.push_back(c);
    close(out[0]);
    if (path_.empty()) throw std::runtime_error("velko-sim did not start");
}

SimProcess::~SimProcess() {
    stop();
}

void SimProcess::say(const std::string& line) {
    const std::string text = line + "\n";
    if (write(input_, text.data(), text.size()) != ssize_t(text.size()))
        throw std::runtime_error("velko-sim's input");
}

bool SimProcess::stop() {
    if (pid_ <= 0) return false;
    kill(pid_, SIGTERM);
    const int status = waitFor(pid_);
    close(input_);
    pid_ = -1;
    return status == 0;
}

void SimProcess::crash() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitFor(pid_);
    close(input_);
    pid_ = -1;
}

Outcome runProgram(const std::string& program, const std::vector<std::string>& args) {
    const std::string out = temporaryFile(), err = temporaryFile();
    const pid_t pid = fork();
    if (pid == 0) {
        const int null = open("/dev/null", O_RDONLY);
        dup2(null, STDIN_FILENO);
        dup2(open(out.c_str(), O_WRONLY), STDOUT_FILENO);
        dup2(open(err.c_str(), O_WRONLY), STDERR_FILENO);
        exec(program, args);
    }
    Outcome run;
    run.status = waitFor(pid);
    run.out = readFile(out);
    run.err = readFile(err);
    unlink(out.c_str());
    unlink(err.c_str());
    return run;
}

Outcome runOnTerminal(const std::string& program, const std::vector<std::string>& args) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    if (pid == 0) exec(program, args);
    Outcome run;
    char buf[4096];
    // Until the program and everything it started let go of the terminal (EIO).
    for (ssize_t n; (n = read(master, buf, sizeof buf)) > 0;) run.err.append(buf, size_t(n));
    close(master);
    run.status = waitFor(pid);
    return run;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

void writeFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

}  // namespace velko::test
