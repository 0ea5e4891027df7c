#pragma once

// Runs the store without windows until SIGINT or SIGTERM; returns the exit status.
int runHeadless(int argc, char** argv);
