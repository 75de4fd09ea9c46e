#include "sim/store_journal.h"

// velko-sim on Windows is a device for trying a host program, started from --seed or --table:
// it keeps no store across restarts (the journal's durable appends are the POSIX side's).
namespace velko {
namespace {
const char kNotKept[] = "--store is not kept on Windows: start from --seed or --table";
}

StoreJournal::StoreJournal(std::string storePath)
    : store_(std::move(storePath)), path_(store_ + ".journal") {}

StoreJournal::~StoreJournal() = default;

bool StoreJournal::open(DeviceModel&, bool, bool*, std::string& error) {
    error = kNotKept;
    return false;
}

bool StoreJournal::record(const TableChange&, std::string& error) {
    error = kNotKept;
    return false;
}

bool StoreJournal::due(size_t) const {
    return false;
}

bool StoreJournal::compact(const DeviceModel&, std::string& error) {
    error = kNotKept;
    return false;
}

}  // namespace velko
