#pragma once
// The process-wide last-error text.
#include <string>

namespace vmq {

void setLastError(std::string text);
void clearLastError();

// Sets a fixed text without allocating, for failures where memory has run out: `text` must be a
// string literal.
void setLastErrorLiteral(const char* text) noexcept;

} // namespace vmq
