#pragma once

#include <QDateTime>
#include <QList>
#include <QString>
#include <QStringList>

#include <optional>

// One folder of `serve` with the options that apply to it.
struct QuarryServeFolder {
    QString path;
    std::optional<QString> name;             // shown to visitors; the folder's own name when absent
    std::optional<QString> slug;             // made from the name when absent
    std::optional<QString> password;         // none when absent
    std::optional<QDateTime> availableUntil; // switched off then; never when absent
    bool operator==(const QuarryServeFolder&) const = default;
};

struct QuarryServeOptions {
    std::optional<int> port; // the default port, or a free one when that is taken, when absent
    bool showQRCode = true;
    QList<QuarryServeFolder> folders;
    bool operator==(const QuarryServeOptions&) const = default;
};

// What the command line asks for. The desktop application needs no arguments.
struct QuarryCommandLine {
    enum class Mode { desktop, headless, serve, help, version, invalid };
    Mode mode = Mode::desktop;
    bool hidden = false; // desktop: start without showing the main window when a tray is there
    QuarryServeOptions serve;
    QString problem; // for `invalid`: what was not understood, as a sentence for the user

    static QuarryCommandLine parse(const QStringList& arguments);
    static QString helpText();
    static QString versionText();
};
