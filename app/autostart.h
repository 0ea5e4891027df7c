#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>

// Start at login through XDG Autostart: $XDG_CONFIG_HOME/autostart/app.brightloom.share.desktop starts
// the application with --hidden. The state is whatever that file says, read again on refresh(): a file
// with Hidden=true (or that the desktop's own settings turned off) counts as off.
class QuarryAutostart : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool enabled READ isEnabled WRITE setEnabled NOTIFY enabledChanged)

public:
    // `executable` is what the entry starts: the installed command when it is this program, else this
    // program's path.
    explicit QuarryAutostart(QString executable, QObject* parent = nullptr);

    static QString filePath();

    bool isEnabled() const { return m_enabled; }
    // Writes or removes the file; on failure the state stays and `failed` says why.
    void setEnabled(bool enabled);
    Q_INVOKABLE void refresh();

    // Whether an autostart entry's text starts anything.
    static bool entryIsEnabled(const QByteArray& entry);
    // The entry that starts `executable` with --hidden.
    static QByteArray entryFor(const QString& executable);

Q_SIGNALS:
    void enabledChanged();
    void failed(const QString& message);

private:
    void setState(bool enabled);

    QString m_executable;
    bool m_enabled = false;
};
