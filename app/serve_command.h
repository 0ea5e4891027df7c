#pragma once

#include "app/command_line.h"

// `brightloom-share serve`: serves the given folders with the application's web server right away,
// without reading or writing the stored state, until SIGINT, SIGTERM or SIGHUP, or until its standard
// input ends when that is a pipe; returns the exit status (2 for a folder that is not there).
int runServe(int argc, char** argv, const QuarryServeOptions& options);
