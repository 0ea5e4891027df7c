#pragma once

// Prepares a process without windows (serve, --headless) to serve, before its application object
// exists: the open-file limit raised as far as it goes, and event loops that wait in poll() themselves.
// Through GLib's main context every connection's notifiers cost the loop extra system calls, and a
// process without windows has nothing that needs GLib's loop (its secret lookups run their own).
void prepareServerProcess();
