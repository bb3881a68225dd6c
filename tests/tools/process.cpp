#include "process.h"

#include <atomic>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace hbtest {

namespace {

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

} // namespace

Process::Process(const std::vector<std::string>& argv, const std::string& directory) {
    static std::atomic<int> counter{0};
    const std::string stem = directory + "/process" + std::to_string(counter++);
    outPath_ = stem + ".out";
    errPath_ = stem + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, outPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath_.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                     0644);
    std::vector<char*> args;
    for (const std::string& a : argv)
        args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    // The tools run the emulator; its own leaks are not theirs.
    std::vector<std::string> environment;
    for (char** entry = environ; *entry != nullptr; ++entry)
        if (std::string(*entry).rfind("LSAN_OPTIONS=", 0) != 0)
            environment.emplace_back(*entry);
    environment.emplace_back(
        "LSAN_OPTIONS=print_suppressions=0:suppressions=" TOOLS_LSAN_SUPPRESSIONS);
    std::vector<char*> envp;
    for (std::string& entry : environment)
        envp.push_back(entry.data());
    envp.push_back(nullptr);
    if (posix_spawn(&pid_, args[0], &actions, nullptr, args.data(), envp.data()) != 0)
        pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
}

Process::~Process() {
    if (pid_ > 0) {
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
    }
}

bool Process::waitFor(const std::string& path, const std::string& text,
                      std::chrono::seconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < end) {
        if (readFile(path).find(text) != std::string::npos)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return false;
}

bool Process::waitForOutput(const std::string& text, std::chrono::seconds limit) const {
    return waitFor(outPath_, text, limit);
}

bool Process::waitForError(const std::string& text, std::chrono::seconds limit) const {
    return waitFor(errPath_, text, limit);
}

void Process::signal(int number) const {
    if (pid_ > 0)
        ::kill(pid_, number);
}

Finished Process::finish(std::chrono::seconds limit) {
    Finished finished;
    if (pid_ <= 0)
        return finished;
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (::waitpid(pid_, &status, WNOHANG) == 0) {
        if (std::chrono::steady_clock::now() > end) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    pid_ = -1;
    finished.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    finished.out = readFile(outPath_);
    finished.err = readFile(errPath_);
    return finished;
}

std::string Process::out() const {
    return readFile(outPath_);
}

std::string Process::err() const {
    return readFile(errPath_);
}

Finished run(const std::vector<std::string>& argv, const std::string& directory,
             std::chrono::seconds limit) {
    Process process(argv, directory);
    return process.finish(limit);
}

} // namespace hbtest
