// The switch into a detached daemon process. Runs on the only thread.
#pragma once

// Forks twice into a new session whose leader has gone, changes to "/", and
// puts descriptors 0, 1 and 2 on /dev/null. Returns only in the final daemon
// process; ends the process with code 3 when a step fails.
void daemonize();
