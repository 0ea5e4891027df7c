#pragma once

// Open descriptors the process may hold. Desktop sessions often start programs with a soft limit of
// 1,024 under a far higher hard limit; a server facing the network needs the room it is allowed.
namespace QuarryDescriptorLimit {

// Raises the soft limit on open descriptors to the hard limit; returns the soft limit in force
// afterwards. Called once at start by every entry point that runs the server.
long raiseToHardLimit();

// The soft limit in force now.
long current();

} // namespace QuarryDescriptorLimit
