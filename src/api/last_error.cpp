#include "api/last_error.h"

#include "pelku_vmq_compression.h"

#include <mutex>

namespace vmq {

namespace {

// One text for the process, guarded by a lock; readers get a copy of their own so that no
// pointer they hold can be freed by another thread's write.
std::mutex& errorLock()
{
    static std::mutex lock;
    return lock;
}

std::string& errorText()
{
    static std::string text;
    return text;
}

// A literal set in place of the text when memory ran out; null otherwise.
const char*& literalText()
{
    static const char* text = nullptr;
    return text;
}

} // namespace

void setLastError(std::string text)
{
    std::lock_guard<std::mutex> guard(errorLock());
    errorText().swap(text);
    literalText() = nullptr;
}

void clearLastError()
{
    std::lock_guard<std::mutex> guard(errorLock());
    errorText().clear();
    literalText() = nullptr;
}

void setLastErrorLiteral(const char* text) noexcept
{
    std::lock_guard<std::mutex> guard(errorLock());
    errorText().clear();
    literalText() = text;
}

} // namespace vmq

extern "C" PELKU_VMQ_API const char* Pelku_Vmq_Compression_GetCompressionErrorString(void)
{
    thread_local std::string copy;
    std::lock_guard<std::mutex> guard(vmq::errorLock());
    if (const char* literal = vmq::literalText())
        return literal;
    try {
        if (copy != vmq::errorText())
            copy = vmq::errorText();
    } catch (...) {
        return "Out of memory while copying the error text.";
    }
    return copy.c_str();
}
