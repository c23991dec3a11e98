// What a person can do about each failure text that the receiver module reports.
#pragma once

#include <string>

namespace capture {

// Advice for one of the module's error-callback texts (a general line for texts it does not know).
std::string advice_for(const std::string& module_text);

}  // namespace capture
