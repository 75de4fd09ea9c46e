// The simulated device's store kept durable change by change. The store itself is the tool's
// JSON article file, written whole and atomically; beside it, STORE.journal holds one line per
// change made since the store was last written. A change then costs one short append and one
// flush instead of a rewrite of the whole table. The store is rewritten and the journal emptied
// (compacted) when the journal outgrows the table, when the simulator starts on a journal left
// behind, and when it ends.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "sim/device_model.h"

namespace velko {

class StoreJournal {
  public:
    // The journal of the store at `storePath`, not yet opened.
    explicit StoreJournal(std::string storePath);
    ~StoreJournal();
    StoreJournal(const StoreJournal&) = delete;
    StoreJournal& operator=(const StoreJournal&) = delete;

    const std::string& path() const { return path_; }

    // Opens the journal, creating it. With `replay`, its changes are applied to `device`, which
    // holds the store as loaded; without, they belong to a store that is gone and are dropped.
    // A last line cut short (the simulator killed as it wrote) is ignored; any other damage is
    // an error, and the files are left as they are. `pending` tells whether the journal held
    // anything, so that the store is due for a rewrite.
    bool open(DeviceModel& device, bool replay, bool* pending, std::string& error);

    // Appends one change and flushes it to disk.
    bool record(const TableChange& change, std::string& error);

    // The journal has outgrown a table of `articles` articles.
    bool due(size_t articles) const;

    // Writes the device's table to the store atomically, then empties the journal.
    bool compact(const DeviceModel& device, std::string& error);

  private:
    std::string store_, path_;
    int fd_ = -1;
    size_t records_ = 0;
    off_t size_ = 0;  // the bytes of whole records, where a failed append is cut back to
};

}  // namespace velko
