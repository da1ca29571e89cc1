#include "progress.h"

#include <cstdio>
#include <unistd.h>

namespace vmq_tool {

bool stderrIsTerminal()
{
    return isatty(fileno(stderr)) != 0;
}

Progress::Progress(std::string label, uint64_t total, bool quiet)
    : label_(std::move(label)), total_(total), enabled_(!quiet && stderrIsTerminal()), last_(std::chrono::steady_clock::now())
{
}

Progress::~Progress()
{
    finish();
}

void Progress::update(uint64_t done)
{
    if (!enabled_)
        return;
    const auto now = std::chrono::steady_clock::now();
    if (drawn_ && now - last_ < std::chrono::milliseconds(100) && done < total_)
        return;
    last_ = now;
    if (total_ == 0) { // a single step: its label only
        std::fprintf(stderr, "\r%s ...", label_.c_str());
        std::fflush(stderr);
        drawn_ = true;
        return;
    }
    const int width = 30;
    const double fraction = total_ ? double(done) / double(total_) : 1.0;
    const int filled = int(fraction * width + 0.5);
    std::fprintf(stderr, "\r%s [%.*s%*s] %3d%%", label_.c_str(), filled, "##############################", width - filled, "",
                 int(fraction * 100 + 0.5));
    std::fflush(stderr);
    drawn_ = true;
}

void Progress::finish()
{
    if (drawn_)
        std::fprintf(stderr, "\r%*s\r", int(label_.size()) + 40, "");
    drawn_ = false;
}

} // namespace vmq_tool
