// Faults in a price list as codes with parameters, worded from one table of English templates:
// a program reads the code, a person the words, in whatever language the caller renders the
// template in.
#pragma once

#include <map>
#include <string>

namespace velko::files {

using FaultParams = std::map<std::string, std::string>;

// The English words of a fault code, with {name} where a parameter goes; null for a code the
// table does not know.
const char* faultTemplate(const std::string& code);

// `text` with each {name} replaced by its parameter; a name without one stays as written.
std::string renderTemplate(const std::string& text, const FaultParams& params);

}  // namespace velko::files
