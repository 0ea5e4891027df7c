#pragma once

#include "server/http_response.h"

#include <QObject>
#include <QProcess>
#include <QString>

#include <atomic>
#include <functional>
#include <thread>

// Makes one folder's ZIP archive with `zip`, without blocking the thread it runs on, and answers with
// the archive streamed from disk. Its work folder ("QuarryShare-" + UUID in the temporary folder) is
// removed as soon as the archive is open for sending, on failure, or when the job is dropped.
// Threads: lives on the server thread; the folder's layout is built on a thread of its own, which
// reports back through a queued call and is joined before the job ends.
class QuarryZipArchiveJob : public QObject, public HTTPDeferredResponse {
    Q_OBJECT
public:
    // location and shareRoot are fully resolved; baseName names the archive (".zip" is appended).
    QuarryZipArchiveJob(QString location, QString shareRoot, QString baseName, QString zipProgram);
    ~QuarryZipArchiveJob() override;

    void start(std::function<void(HTTPResponse)> done) override;

    // The work folder while it exists ("" before start and after removal).
    QString workFolder() const { return m_workFolder; }

private:
    void mirrorFinished(bool ok, const QString& error);
    void zipFinished(int exitCode, QProcess::ExitStatus exitStatus);
    void succeed();
    void failWith(const QString& diagnostic);
    void finish(HTTPResponse response);
    void removeWorkFolder();

    QString m_location;
    QString m_shareRoot;
    QString m_baseName;
    QString m_zipProgram;
    QString m_folderName;
    QString m_workFolder;
    std::function<void(HTTPResponse)> m_done;
    std::atomic<bool> m_cancelled{false};
    std::thread m_mirrorThread;
    QProcess* m_zip = nullptr;
};
