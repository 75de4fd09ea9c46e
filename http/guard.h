// What every HTTP program here checks of a request before it answers it: the token, the Host
// it was sent to, and the headers every answer carries.
#pragma once

#include <string>
#include <utility>
#include <vector>

#include "http/tokens.h"

namespace velko::http {

// Compares secrets in a time that does not depend on where they differ.
bool sameSecret(const std::string& a, const std::string& b);

// The token an "Authorization: Bearer SECRET" header names, or null.
const Token* tokenFor(const std::vector<Token>& tokens, const std::string& authorization);

// Whether a request's Host header names this program: an address, localhost, this machine's
// name (or NAME.local), or one of `allowed`, each compared whole. A page on another site that has
// its name resolve to us (DNS rebinding) sends its own name, and is answered 421.
bool allowedHost(const std::string& host, const std::vector<std::string>& allowed);

// The headers of every answer: no sniffing of types, only the page's own scripts, no framing.
const std::vector<std::pair<std::string, std::string>>& securityHeaders();

}  // namespace velko::http
