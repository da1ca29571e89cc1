#pragma once
// The process-wide last-error text.
#include <string>

namespace vmq {

void setLastError(std::string text);
void clearLastError();

} // namespace vmq
