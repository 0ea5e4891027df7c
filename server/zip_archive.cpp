#include "server/zip_archive.h"

#include "core/diagnostics.h"
#include "core/paths.h"
#include "core/share_records.h"
#include "server/archive_mirror.h"
#include "server/downloads.h"

#include <QDir>
#include <QFile>
#include <QProcessEnvironment>

#include <csignal>
#include <fcntl.h>
#include <pthread.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

const QString kTreeFolder = QStringLiteral("tree");

} // namespace

QuarryZipArchiveJob::QuarryZipArchiveJob(QString location, QString shareRoot, QString baseName,
                                         QString zipProgram)
    : m_location(std::move(location))
    , m_shareRoot(std::move(shareRoot))
    , m_baseName(std::move(baseName))
    , m_zipProgram(std::move(zipProgram))
    , m_folderName(lastPathComponent(m_location)) {}

QuarryZipArchiveJob::~QuarryZipArchiveJob() {
    m_cancelled = true;
    if (m_mirrorThread.joinable())
        m_mirrorThread.join();
    if (m_zip) {
        m_zip->disconnect(this);
        m_zip->kill();
        m_zip->waitForFinished(5000);
        delete m_zip;
    }
    removeWorkFolder();
}

void QuarryZipArchiveJob::start(std::function<void(HTTPResponse)> done) {
    m_done = std::move(done);
    const QString folder = QDir::tempPath() + QStringLiteral("/QuarryShare-") + newUuidText();
    if (!QDir().mkpath(folder + QLatin1Char('/') + kTreeFolder)) {
        QuarryArchiveMirror::removeTree(QFile::encodeName(folder));
        // Deliver later, never from inside start, as promised to the caller.
        QMetaObject::invokeMethod(
            this, [this] { failWith(QString()); }, Qt::QueuedConnection);
        return;
    }
    m_workFolder = folder;
    ::chmod(QFile::encodeName(folder).constData(), 0700);

    // A name that is the root ("/") has no last component: store it under the archive's name instead.
    if (m_folderName.isEmpty() || m_folderName == QLatin1String("/"))
        m_folderName = m_baseName;
    const QByteArray source = QFile::encodeName(m_location);
    const QByteArray root = QFile::encodeName(m_shareRoot);
    const QByteArray target =
        QFile::encodeName(folder + QLatin1Char('/') + kTreeFolder + QLatin1Char('/') + m_folderName);
    m_mirrorThread = std::thread([this, source, root, target] {
        const QuarryArchiveMirror::Outcome outcome =
            QuarryArchiveMirror::build(source, root, target, m_cancelled);
        QMetaObject::invokeMethod(
            this, [this, outcome] { mirrorFinished(outcome.ok, outcome.error); }, Qt::QueuedConnection);
    });
}

void QuarryZipArchiveJob::mirrorFinished(bool ok, const QString& error) {
    if (m_mirrorThread.joinable())
        m_mirrorThread.join();
    if (!ok) {
        failWith(QStringLiteral("Could not prepare the archive of %1: %2").arg(m_location, error));
        return;
    }
    m_zip = new QProcess(this);
    m_zip->setProgram(m_zipProgram);
    // "./" keeps a folder name that begins with "-" from being read as an option; zip drops the prefix.
    m_zip->setArguments({QStringLiteral("-r"), QStringLiteral("-q"),
                         m_workFolder + QLatin1Char('/') + m_baseName + QStringLiteral(".zip"),
                         QStringLiteral("./") + m_folderName});
    m_zip->setWorkingDirectory(m_workFolder + QLatin1Char('/') + kTreeFolder);
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    // zip reads extra options from these; none may reach it from the environment.
    environment.remove(QStringLiteral("ZIPOPT"));
    environment.remove(QStringLiteral("ZIP"));
    m_zip->setProcessEnvironment(environment);
    // The server thread blocks SIGPIPE for its own writes; zip starts with the ordinary mask.
    m_zip->setChildProcessModifier([] {
        sigset_t pipe;
        sigemptyset(&pipe);
        sigaddset(&pipe, SIGPIPE);
        ::pthread_sigmask(SIG_UNBLOCK, &pipe, nullptr);
    });
    m_zip->setStandardInputFile(QProcess::nullDevice());
    m_zip->setStandardOutputFile(QProcess::nullDevice());
    m_zip->setStandardErrorFile(QProcess::nullDevice());
    connect(m_zip, &QProcess::finished, this, &QuarryZipArchiveJob::zipFinished);
    connect(m_zip, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error == QProcess::FailedToStart)
            failWith(QString());
    });
    m_zip->start();
}

void QuarryZipArchiveJob::zipFinished(int exitCode, QProcess::ExitStatus exitStatus) {
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        const int status = exitStatus == QProcess::NormalExit ? exitCode : -1;
        failWith(QStringLiteral("zip exited with status %1 for path: %2").arg(status).arg(m_location));
        return;
    }
    succeed();
}

void QuarryZipArchiveJob::succeed() {
    const QString fileName = m_baseName + QStringLiteral(".zip");
    const QByteArray archive = QFile::encodeName(m_workFolder + QLatin1Char('/') + fileName);
    const int descriptor = ::open(archive.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    struct stat status {};
    if (descriptor < 0 || ::fstat(descriptor, &status) != 0 || !S_ISREG(status.st_mode)) {
        if (descriptor >= 0)
            ::close(descriptor);
        failWith(QString());
        return;
    }
    // The open descriptor keeps the archive readable after its folder is gone, so nothing is left on
    // disk however the connection ends.
    removeWorkFolder();
    finish(HTTPResponse::file(std::make_shared<HTTPFileBody>(descriptor, static_cast<qint64>(status.st_size)),
                              QStringLiteral("application/zip"),
                              QuarryShareWeb::contentDisposition(fileName)));
}

void QuarryZipArchiveJob::failWith(const QString& diagnostic) {
    if (!m_done)
        return;
    if (!diagnostic.isEmpty())
        logDiagnostic(diagnostic);
    removeWorkFolder();
    finish(HTTPResponse::internalServerError(QStringLiteral("Could not create a ZIP for ") + m_folderName +
                                             QLatin1Char('.')));
}

void QuarryZipArchiveJob::finish(HTTPResponse response) {
    // Taken out first: done may drop the last other reference to this job's owner.
    std::function<void(HTTPResponse)> done = std::move(m_done);
    m_done = nullptr;
    if (done)
        done(std::move(response));
}

void QuarryZipArchiveJob::removeWorkFolder() {
    if (m_workFolder.isEmpty())
        return;
    QuarryArchiveMirror::removeTree(QFile::encodeName(m_workFolder));
    m_workFolder.clear();
}
