// velko serve as a Windows service: installed once with its configuration, started by the
// service manager at boot, stopped by it like any other service.
#pragma once

#include "serve/run.h"

namespace velko::serve {

// Registers the service "velko" that runs this program with `serve --windows-service
// --config CONFIG`, started automatically; 0, or 1 with the reason on standard error.
int installWindowsService(const ServeOptions& options);
int uninstallWindowsService();
// What the service manager starts: connects to it and runs the service until it says stop.
int runAsWindowsService(const ServeOptions& options);

}  // namespace velko::serve
