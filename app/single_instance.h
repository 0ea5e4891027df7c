#pragma once

#include <QObject>
#include <QString>
#include <QStringList>

#include <chrono>
#include <functional>
#include <optional>

class QLocalServer;

// One running brightloom Share per user and state folder, with or without windows. The first start holds
// an flock on a file in the user's runtime folder; the kernel drops it with the process, so it never
// goes stale. The holder answers later starts on a local socket beside it: a later start finds the lock
// taken and hands its arguments over instead of starting a second server.
class QuarrySingleInstance : public QObject {
    Q_OBJECT

public:
    // What the running instance answers with a reply line.
    using Answer = std::function<QString(const QStringList& arguments)>;

    // Takes the lock for the state folder when nobody holds it.
    explicit QuarrySingleInstance(const QString& stateFolder, QObject* parent = nullptr);
    ~QuarrySingleInstance() override;

    // Another process holds the lock: hand the arguments over and end.
    bool isRunningElsewhere() const { return m_runningElsewhere; }

    // The running instance answers later starts from now on; false (with a diagnostic) when it cannot.
    bool listen(Answer answer);

    // A later start: the running instance's reply, or nothing when it does not answer in time (it may
    // still be starting, so connecting is retried until the timeout).
    std::optional<QString> handOver(const QStringList& arguments, std::chrono::milliseconds timeout) const;

    QString lockPath() const { return m_basePath + QStringLiteral(".lock"); }
    QString socketPath() const { return m_basePath + QStringLiteral(".socket"); }

private:
    void answerConnection();

    QString m_basePath;
    int m_lockDescriptor = -1;
    bool m_runningElsewhere = false;
    QLocalServer* m_server = nullptr;
    Answer m_answer;
};
