// The simulated device's PLU table in the tool's own article files (CSV or JSON, names in
// UTF-8, counters included): a seed to start from and a store that survives restarts.
#pragma once

#include <string>
#include <vector>

#include "sim/device_model.h"

namespace velko {

// Loads every article of `path` into `device`; false, with the faults in `error`, when the
// file cannot be read or any row is bad (then nothing is loaded).
bool loadTableFile(const std::string& path, DeviceModel& device, std::string& error);
// The same for CSV text.
bool loadTableText(const std::string& csv, DeviceModel& device, std::string& error);

// Writes the device's table to `path` as JSON, atomically; false, with `error`, on failure.
bool saveTableFile(const std::string& path, const DeviceModel& device, std::string& error);

}  // namespace velko
