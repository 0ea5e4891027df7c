#pragma once

class QuarrySingleInstance;

// Runs the store without windows until SIGINT or SIGTERM; returns the exit status. `instance` is the lock
// this start holds; later starts are told that it runs without windows.
int runHeadless(int argc, char** argv, QuarrySingleInstance& instance);
