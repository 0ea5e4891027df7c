#pragma once

class QuarrySingleInstance;

// Runs the desktop application until it quits ("Quit", closing the main window without a tray, or
// SIGINT, SIGTERM or SIGHUP); returns the exit status. `instance` is the lock this start holds; later
// starts reach the application through it. `hidden` starts without the main window when a tray is there.
int runDesktop(int argc, char** argv, QuarrySingleInstance& instance, bool hidden);
