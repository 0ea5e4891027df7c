#pragma once

#include <QString>

namespace QuarryShareUtilities {

// The path of state.json in the per-user data folder ("…/Quarry Share/state.json"). Creates the folder
// on every call; a failure to create it is left for the later write to meet.
QString appStateURL();

} // namespace QuarryShareUtilities
