// velko hq: head office's program. It reads the chain from the MQTT broker the shops' services
// report to (presence, reported price lists, day reports, command results) into its database,
// publishes price lists, and says where the chain stands.
#pragma once

#include <string>
#include <vector>

namespace velko::hq {

struct HqOptions {
    std::string config;
    std::vector<std::string> stores, devices;  // publish: where to (none: every one known)
    std::string file;                          // publish: the price list
    std::string from, until;  // publish: a promotion's times (RFC 3339 with their offsets)
    std::string day;          // reports: the business day; command close-day: the day meant
    std::string command;      // command: close-day, download or scan
    std::string numbers;      // command scan: the device numbers asked
    int waitSeconds = 300;    // command: how long to wait for the answers
    int expiresMinutes = 60;  // command: not run by a shop after this
    bool json = false;
    // store add|retire|rename NAME [NEW], device add|retire STORE DEVICE
    std::string registerOf, change;
    std::vector<std::string> names;
    std::string to;  // migrate: the PostgreSQL database
};

// Runs until SIGINT or SIGTERM, reading the broker into the database and answering its API.
int runHq(const HqOptions& options);
// Publishes the price list to the stores' devices as the next version; prints the version.
// With `from` and `until`, publishes it as a promotion for that time instead; prints its id.
int publishPriceList(const HqOptions& options);
// Sends a command to the stores named (or to all known) and prints their answers as they
// come, up to `waitSeconds`; answers that come later are kept by head office's daemon.
int sendCommand(const HqOptions& options);
// Prints each store's presence and each device's price list against the one published.
int printStatus(const HqOptions& options);
// Changes the register of the chain: a store or device added (or back in service), retired,
// or a store renamed everywhere head office knows it.
int changeRegister(const HqOptions& options);
// Copies head office's SQLite database into PostgreSQL, to move to it.
int migrate(const HqOptions& options);
// Prints the day reports of a business day, each (store, device) once.
int printReports(const HqOptions& options);

}  // namespace velko::hq
