#pragma once
// The one error type of the pipeline: a violated limit or an impossible state ends the
// compression without a result. The message says in plain words what went wrong; the C boundary
// turns it into the last-error text.
#include <stdexcept>
#include <string>

namespace vmq {

struct CompressionError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

[[noreturn]] inline void raiseError(const std::string& message)
{
    throw CompressionError(message);
}

} // namespace vmq
