#include "tunnel/cloudflared_supervisor.h"

#include "tunnel/broker_protocol.h"

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <algorithm>
#include <csignal>
#include <sys/prctl.h>
#include <unistd.h>

using QuarryTunnelBroker::tunnelError;

namespace {

// How long a launch may take to reach exec, and how long a quitting application waits for its child.
constexpr int kLaunchWaitMs = 10000;
constexpr int kQuitGraceMs = 3000;

} // namespace

QuarryCloudflaredSupervisor::QuarryCloudflaredSupervisor(QObject* parent)
    : QObject(parent)
    , m_candidates(defaultCloudflaredCandidates()) {}

QuarryCloudflaredSupervisor::~QuarryCloudflaredSupervisor() {
    endChildrenForGood();
}

void QuarryCloudflaredSupervisor::setStatusHandler(StatusHandler handler) {
    m_statusHandler = std::move(handler);
}

void QuarryCloudflaredSupervisor::discardPendingReports() {
    m_firstDeliverableReport = m_nextReport;
}

void QuarryCloudflaredSupervisor::notify(const QuarryTunnelStatus& status) {
    // The handler is read now, so a handler set later never sees this report. Delivery is queued on
    // this object: reports arrive in the order issued, after the caller's own main-thread work.
    if (!m_statusHandler)
        return;
    const quint64 report = m_nextReport++;
    QMetaObject::invokeMethod(
        this,
        [this, handler = m_statusHandler, status, report] {
            if (report >= m_firstDeliverableReport)
                handler(status);
        },
        Qt::QueuedConnection);
}

QStringList QuarryCloudflaredSupervisor::defaultCloudflaredCandidates() {
    QStringList candidates;
    if (QCoreApplication::instance())
        candidates << QCoreApplication::applicationDirPath() + QStringLiteral("/cloudflared");
    candidates << QStringLiteral("/opt/homebrew/bin/cloudflared")
               << QStringLiteral("/usr/local/bin/cloudflared") << QStringLiteral("/usr/bin/cloudflared");
    return candidates;
}

void QuarryCloudflaredSupervisor::setCloudflaredCandidates(const QStringList& paths) {
    m_candidates = paths;
}

std::optional<QString> QuarryCloudflaredSupervisor::cloudflaredExecutableURL() const {
    for (const QString& candidate : m_candidates) {
        // A folder with its search bit set is "executable" too, but cannot be run.
        if (QFileInfo(candidate).isFile() && ::access(QFile::encodeName(candidate).constData(), X_OK) == 0)
            return candidate;
    }
    return std::nullopt;
}

QuarryResult<void> QuarryCloudflaredSupervisor::start(const QString& token, const QString& hostname) {
    stop();
    notify(QuarryTunnelStatus::preparing());
    const std::optional<QString> program = cloudflaredExecutableURL();
    if (!program)
        return tunnelError(QStringLiteral("cloudflared is not installed or bundled with brightloom Share."));

    auto* child = new QProcess(this);
    child->setProgram(*program);
    // The token travels in the environment, where other users cannot read it, never in the arguments.
    child->setArguments({QStringLiteral("tunnel"), QStringLiteral("run")});
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("TUNNEL_TOKEN"), token);
    child->setProcessEnvironment(environment);
    // Nobody reads the child's output: it goes nowhere, so a chatty child can never block on a pipe.
    child->setStandardInputFile(QProcess::nullDevice());
    child->setStandardOutputFile(QProcess::nullDevice());
    child->setStandardErrorFile(QProcess::nullDevice());
    // The kernel ends the child when the application ends, even by a crash or SIGKILL.
    const pid_t parent = ::getpid();
    child->setChildProcessModifier([parent] {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent)
            ::raise(SIGTERM);
    });
    // Exits are noticed from the event loop, so even a child that ends at once is reported after the
    // running report below.
    connect(child, &QProcess::finished, this, [this, child](int exitCode) { handleExit(child, exitCode); });

    child->start();
    if (!child->waitForStarted(kLaunchWaitMs)) {
        const QString message = child->errorString();
        disconnect(child, nullptr, this, nullptr);
        delete child;
        return tunnelError(message);
    }
    m_process = child;
    notify(QuarryTunnelStatus::running(hostname));
    return {};
}

void QuarryCloudflaredSupervisor::stop() {
    if (QProcess* child = std::exchange(m_process, nullptr)) {
        // Its exit is ours, not a failure: nothing about it is reported.
        disconnect(child, nullptr, this, nullptr);
        retire(child);
    }
    notify(QuarryTunnelStatus::stopped());
}

void QuarryCloudflaredSupervisor::handleExit(QProcess* child, int exitCode) {
    child->deleteLater();
    if (child != m_process)
        return;
    m_process = nullptr;
    // After a signal, the exit code holds the signal's number.
    if (child->exitStatus() == QProcess::CrashExit || exitCode != 0)
        notify(
            QuarryTunnelStatus::failed(QStringLiteral("cloudflared exited with status %1.").arg(exitCode)));
    else
        notify(QuarryTunnelStatus::stopped());
}

void QuarryCloudflaredSupervisor::retire(QProcess* child) {
    if (child->state() == QProcess::NotRunning) {
        child->deleteLater();
        return;
    }
    // Kept until the child has ended: deleting a running QProcess kills it and waits for it.
    connect(child, &QProcess::finished, child, &QObject::deleteLater);
    child->terminate();
}

void QuarryCloudflaredSupervisor::endChildrenForGood() {
    m_process = nullptr;
    const QList<QProcess*> children = findChildren<QProcess*>(Qt::FindDirectChildrenOnly);
    for (QProcess* child : children) {
        disconnect(child, nullptr, this, nullptr);
        if (child->state() != QProcess::NotRunning)
            child->terminate();
    }
    // A short grace for a clean shutdown; a child that ignores SIGTERM is killed.
    const QDeadlineTimer grace(kQuitGraceMs);
    for (QProcess* child : children) {
        if (child->state() == QProcess::NotRunning)
            continue;
        if (!child->waitForFinished(static_cast<int>(std::max<qint64>(1, grace.remainingTime())))) {
            child->kill();
            child->waitForFinished(kQuitGraceMs);
        }
    }
}
