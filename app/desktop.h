#pragma once

// Runs the desktop application with its windows until the last one closes; returns the exit status.
int runDesktop(int argc, char** argv);
