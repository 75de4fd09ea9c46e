// The broker's keys in a TOML configuration, the shop's [head_office] and head office's own.
#pragma once

#include "chain/broker.h"
#include "http/toml_reader.h"

namespace velko::chain {

// The keys broker (mqtt[s]://HOST[:PORT]), username, password, ca, cert and key of `t`.
void readBroker(http::TomlReader& read, const toml::table& t, BrokerConfig& h);

}  // namespace velko::chain
