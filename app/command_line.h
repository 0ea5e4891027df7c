#pragma once

#include <QString>
#include <QStringList>

// What the command line asks for. The desktop application needs no arguments.
struct CommandLine {
    enum class Mode { desktop, headless, help, version, invalid };
    Mode mode = Mode::desktop;
    QString problem; // for `invalid`: the argument that was not understood

    static CommandLine parse(const QStringList& arguments);
    static QString helpText();
    static QString versionText();
};
