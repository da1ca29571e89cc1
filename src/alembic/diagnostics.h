#pragma once
// Where the archive importer writes its diagnostic lines: the standard error stream unless a
// test points it elsewhere. Whole lines are written under a lock so that frames read on several
// threads never interleave their lines.
#include <iostream>
#include <mutex>
#include <string>

namespace vmq {

class DiagnosticSink {
public:
    explicit DiagnosticSink(std::ostream* stream = &std::cerr) : stream_(stream) {}

    // Writes `text` followed by a line end.
    void line(const std::string& text)
    {
        std::lock_guard<std::mutex> hold(lock_);
        *stream_ << text << '\n';
        stream_->flush();
    }

    void setStream(std::ostream* stream) { stream_ = stream; }

private:
    std::ostream* stream_;
    std::mutex lock_;
};

} // namespace vmq
