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

} // namespace

void setLastError(std::string text)
{
    std::lock_guard<std::mutex> guard(errorLock());
    errorText().swap(text);
}

void clearLastError()
{
    std::lock_guard<std::mutex> guard(errorLock());
    errorText().clear();
}

} // namespace vmq

extern "C" PELKU_VMQ_API const char* Pelku_Vmq_Compression_GetCompressionErrorString(void)
{
    thread_local std::string copy;
    try {
        std::lock_guard<std::mutex> guard(vmq::errorLock());
        if (copy != vmq::errorText())
            copy = vmq::errorText();
    } catch (...) {
        copy.clear();
    }
    return copy.c_str();
}
