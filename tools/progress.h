#pragma once
// A progress bar on standard error, drawn only when it is a terminal and output is not quiet.
#include <chrono>
#include <cstdint>
#include <string>

namespace vmq_tool {

class Progress {
public:
    // total 0: one step of unknown length, shown by its label.
    Progress(std::string label, uint64_t total, bool quiet);
    ~Progress();
    Progress(const Progress&) = delete;
    Progress& operator=(const Progress&) = delete;

    // Redraws at most ten times a second.
    void update(uint64_t done);
    // Clears the bar's line.
    void finish();

private:
    std::string label_;
    uint64_t total_;
    bool enabled_;
    bool drawn_ = false;
    std::chrono::steady_clock::time_point last_;
};

// Whether standard error is a terminal.
bool stderrIsTerminal();

} // namespace vmq_tool
