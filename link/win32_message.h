// The Windows system's text of an error code, for the causes of failed opens.
#pragma once

#include <string>

namespace velko {

// FormatMessage's text of `code` (a GetLastError or WSAGetLastError value) as the rest of a
// phrase: no final full stop or line break, a first capital lowered ("the semaphore timeout
// period has expired").
std::string systemMessage(unsigned long code);

}  // namespace velko
