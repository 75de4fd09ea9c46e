// velko-sim: a simulated VELKO device on a pseudo-terminal or a TCP port (on Windows, a TCP
// port). Prints the line's name, then answers whatever opens it until it is interrupted. Sales
// can be rung up on standard input.
#include <CLI/CLI.hpp>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "files/validate.h"
#include "sim/device_model.h"
#include "sim/serve_line.h"
#include "sim/store_journal.h"
#include "sim/table_file.h"
#include "velko/velko.h"

namespace {

// One command from standard input: "sell CODE QUANTITY".
void command(const std::string& text, velko::DeviceModel& device) {
    std::istringstream in(text);
    std::string verb, code, quantityText, rest;
    in >> verb >> code >> quantityText >> rest;
    if (verb.empty()) return;
    int32_t quantity = 0;
    if (verb != "sell" || !rest.empty() || !velko::files::parseAmount(quantityText, 3, &quantity)) {
        std::fprintf(stderr, "velko-sim: '%s': expected 'sell CODE QUANTITY'\n", text.c_str());
    } else if (!device.sell(code, quantity)) {
        std::fprintf(stderr, "velko-sim: no article %s to sell\n", code.c_str());
    } else {
        std::fprintf(stderr, "velko-sim: sold %s of %s\n", quantityText.c_str(), code.c_str());
    }
}

// "FRAME=KIND[:N]", KIND one of nak:N, never-ack, bad-crc, noise, cut, long, delay:MS,
// silent-after, drop; FRAME "*" for every frame.
bool addFault(const std::string& rule, velko::DeviceModel::Options& options) {
    const size_t eq = rule.rfind('=');
    if (eq == std::string::npos) return false;
    const std::string kind = rule.substr(eq + 1, rule.find(':', eq) - eq - 1);
    const size_t colon = rule.find(':', eq);
    const long value = colon == std::string::npos ? 0 : std::atol(rule.c_str() + colon + 1);
    velko::FrameFault& f = options.faults[rule.substr(0, eq)];
    if (kind == "nak") {
        f.naks = int(value);
    } else if (kind == "never-ack") {
        f.neverAck = true;
    } else if (kind == "bad-crc") {
        f.badCrc = true;
    } else if (kind == "noise") {
        f.noise = {0xFF, 0x06, 'n', 'o', 'i', 's', 'e', 0x0D};
    } else if (kind == "cut") {
        f.cutReply = true;
    } else if (kind == "long") {
        f.longReply = true;
    } else if (kind == "delay") {
        f.delayMs = value;
    } else if (kind == "silent-after") {
        f.silentAfter = true;
    } else if (kind == "drop") {
        f.dropLine = true;
    } else {
        return false;
    }
    return true;
}

bool readListing(const std::string& file, velko::DeviceModel& device) {
    std::ifstream in(file, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    int bad = 0;
    if (in && device.loadTable(text.str(), &bad)) return true;
    std::fprintf(stderr, "velko-sim: %s: cannot read the table (line %d)\n", file.c_str(), bad);
    return false;
}

}  // namespace

namespace velko {

bool parseTcp(const std::string& text, std::string& host, int& port) {
    const size_t colon = text.rfind(':');
    host = colon == std::string::npos ? "127.0.0.1" : text.substr(0, colon);
    const std::string number = colon == std::string::npos ? text : text.substr(colon + 1);
    if (host.empty() || number.empty() || number.size() > 5 ||
        number.find_first_not_of("0123456789") != std::string::npos)
        return false;
    port = std::stoi(number);
    return port <= 65535;
}

}  // namespace velko

int main(int argc, char** argv) {
    using namespace velko;
    velko::DeviceModel::Options options;
    std::string link, listing, store, seed;
    std::vector<std::string> replies, refused, faults;
    bool log = false;
    std::string tcp;
    bool pace = false, strictBaud = false;
    uint32_t paceBaud = 9600;
    CLI::App app{
        "velko-sim: a simulated VELKO device on a pseudo-terminal (on Windows, on TCP). Prints "
        "the line's name and serves it until interrupted. While it runs, a line such as "
        "'sell 123 2.5' on standard input rings up a sale of that article."};
    app.set_version_flag("--version", std::string("velko-sim ") + VELKO_VERSION_STRING);
    app.add_option("--link", link, "also make PATH a symbolic link to the terminal");
    app.add_option("--tcp", tcp,
                   "serve raw TCP on this port instead of a terminal (0: any free port), of "
                   "127.0.0.1 or of HOST (0.0.0.0: every address of this machine), and print "
                   "tcp://HOST:PORT; one host at a time, the newest")
        ->type_name("[HOST:]PORT");
    app.add_option("--device", options.address, "answer only this device number (default: any)");
    app.add_option("--answer", options.answer, "the answer to the address message")
        ->capture_default_str();
    app.add_option("--store", store,
                   "keep the PLU table in this JSON file, loaded at start; every change is "
                   "appended to FILE.journal and flushed to disk before the device answers, and "
                   "the file is rewritten atomically from time to time and when the simulator "
                   "ends, the journal then emptied");
    app.add_option("--seed", seed,
                   "start with the articles of this CSV or JSON file (velko's own formats, "
                   "counters included) when the store does not exist yet");
    app.add_option("--table", listing,
                   "start with the articles listed in FILE, one per line as the device lists "
                   "them: 0;123;ABC;1;12.50;1;3.500;43.75;");
    app.add_flag("--pace", pace,
                 "take the wire time of every byte both ways at --baud, as a real line does");
    app.add_option("--baud", paceBaud, "the nominal rate for --pace and --strict-baud")
        ->capture_default_str();
    app.add_flag("--strict-baud", strictBaud,
                 "hear the host only while it has set the terminal to --baud: what it sends at "
                 "another rate is lost, as a real device cannot make out bytes at the wrong rate");
    app.add_flag("--log", log, "write one line per frame and control byte, both ways, to stderr");
    app.add_option("--zero-delay", options.zeroDelayMs, "how long zeroing the counters takes, ms")
        ->capture_default_str();
    app.add_option("--unacknowledged", options.unacknowledged,
                   "answer the first N frames with 0x15");
    app.add_flag("--silent", options.silent, "never answer");
    app.add_option("--reply", replies, "answer the frame FRAME with TEXT")->type_name("FRAME=TEXT");
    app.add_option("--refuse", refused, "refuse to store the article CODE")->type_name("CODE");
    app.add_option("--fault", faults,
                   "misbehave toward the frame FRAME ('*': every frame): nak:N (0x15 N times "
                   "before 0x06), never-ack, bad-crc (in the reply), noise (before the reply), "
                   "cut (the reply stops mid-frame), long (a reply of 257 text bytes), delay:MS "
                   "(the reply comes MS late), silent-after (silence for the rest of the "
                   "session), drop (the line drops: the terminal closes and the simulator ends)")
        ->type_name("FRAME=KIND[:N]");
    CLI11_PARSE(app, argc, argv);
    for (const std::string& rule : replies) {
        const size_t eq = rule.find('=');
        if (eq == std::string::npos) {
            std::fprintf(stderr, "velko-sim: --reply needs FRAME=TEXT, not '%s'\n", rule.c_str());
            return 2;
        }
        options.replies[rule.substr(0, eq)] = rule.substr(eq + 1);
    }
    options.refusedCodes.insert(refused.begin(), refused.end());
    for (const std::string& rule : faults) {
        if (!addFault(rule, options)) {
            std::fprintf(stderr, "velko-sim: --fault needs FRAME=KIND[:N], not '%s'\n",
                         rule.c_str());
            return 2;
        }
    }

    velko::DeviceModel* devicePtr = nullptr;
    velko::StoreJournal journal(store);
    if (!store.empty()) {
        options.onChange = [&](const velko::TableChange& change) {
            std::string error;
            if (!journal.record(change, error) ||
                (journal.due(devicePtr->table().size()) && !journal.compact(*devicePtr, error)))
                std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        };
    }
    velko::DeviceModel device(options);
    devicePtr = &device;
    std::string error;
    std::error_code missing;
    const bool stored = !store.empty() && std::filesystem::exists(store, missing);
    const std::string start = stored ? store : seed;
    if (!start.empty() && !velko::loadTableFile(start, device, error)) {
        std::fprintf(stderr, "velko-sim: %s", error.c_str());
        return 1;
    }
    bool pending = false;
    if (!store.empty() && !journal.open(device, stored, &pending, error)) {
        std::fprintf(stderr, "velko-sim: %s\n", error.c_str());
        return 1;
    }
    if (!listing.empty() && !readListing(listing, device)) return 1;
    if (!store.empty() && (!stored || pending || !listing.empty()) &&
        !journal.compact(device, error)) {
        std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        return 1;
    }

    LineSettings line;
    line.link = link;
    line.log = log;
    line.paceBaud = pace ? paceBaud : 0;
    line.strictBaud = strictBaud ? paceBaud : 0;
    if (!tcp.empty() && !parseTcp(tcp, line.tcpHost, line.tcpPort)) {
        std::fprintf(stderr, "velko-sim: --tcp needs [HOST:]PORT, not '%s'\n", tcp.c_str());
        return 2;
    }
    if (serveLine(device, line, [&](const std::string& text) { command(text, device); }) != 0)
        return 1;
    if (!store.empty() && !journal.compact(device, error)) {
        std::fprintf(stderr, "velko-sim: cannot save the store: %s\n", error.c_str());
        return 1;
    }
    return 0;
}
