// Who may call the service and head office (tokens and their roles), and the names and
// addresses their configurations take.
#pragma once

#include <string>
#include <vector>

namespace velko::http {

enum class Role { Read, Operate };

struct Token {
    std::string name, secret;
    Role role = Role::Read;
};

// Names of devices, groups and stores: letters, digits, '-' and '_', 64 at most.
bool goodName(const std::string& name);

// A secret of 32 hexadecimal digits from the system's random source, for a token made for the
// user (a trial with simulated devices, a new installation's first configuration).
std::string newSecret();

// "HOST:PORT" into its parts; false when it is not that.
bool parseListen(const std::string& text, std::string& host, int& port);

}  // namespace velko::http
