// The switch into a detached daemon process, and the report of its start-up
// to the process that started it. Runs on the only thread, except
// reportStartup, which any thread may call once the daemon is up.
#pragma once

// Forks twice into a new session whose leader has gone, changes to "/", and
// puts descriptors 0, 1 and 2 on /dev/null. Returns only in the final daemon
// process; ends the process with code 3 when a step fails. The starting
// process waits (at most STARTUP_WAIT_S) for reportStartup and exits with the
// code reported; 1 when the daemon ended without a report.
void daemonize();
const int STARTUP_WAIT_S = 10;

// Tells the starting process the outcome of start-up: 0 once the daemon
// serves, or the code it is about to exit with. Only the first report counts;
// without daemonize it does nothing.
void reportStartup(int exitCode);
