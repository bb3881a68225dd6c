// Starting the tools as processes, with their output caught in files.
#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace hbtest {

struct Finished {
    int status = -1; // exit status, or 128 + signal
    std::string out, err;
};

class Process {
  public:
    // Starts `argv` with stdout and stderr going to files in `directory`.
    Process(const std::vector<std::string>& argv, const std::string& directory);
    ~Process(); // kills a process that still runs
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // Waits up to `limit` for stdout to hold `text`; false if it did not come.
    bool waitForOutput(const std::string& text, std::chrono::seconds limit) const;
    // The same for stderr.
    bool waitForError(const std::string& text, std::chrono::seconds limit) const;
    void signal(int number) const;
    // Waits for the end (killing the process after `limit`).
    Finished finish(std::chrono::seconds limit = std::chrono::seconds(60));
    std::string out() const;
    std::string err() const;

  private:
    static bool waitFor(const std::string& path, const std::string& text,
                        std::chrono::seconds limit);
    pid_t pid_ = -1;
    std::string outPath_, errPath_;
};

// Runs `argv` to its end.
Finished run(const std::vector<std::string>& argv, const std::string& directory,
             std::chrono::seconds limit = std::chrono::seconds(60));

} // namespace hbtest
