#pragma once

namespace hbr {

// Runs the instance in the foreground until a key (or SIGINT/SIGTERM); 0, or -1 when the
// server could not start.
int RunConsole();

}  // namespace hbr
