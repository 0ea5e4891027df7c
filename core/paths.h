#pragma once

#include <QString>

// Expands a leading tilde: "~" and "~/rest" name the current user's home folder,
// "~name" and "~name/rest" the home folder of the user called name. Other paths are unchanged,
// and so is a "~name" for an unknown user.
QString expandTilde(const QString& path);

// The last component of a path taken as it stands ("/" for "/", "" for ""); trailing slashes are ignored.
QString lastPathComponent(const QString& path);
