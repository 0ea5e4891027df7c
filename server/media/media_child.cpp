#include "server/media/media_child.h"

#include <QStandardPaths>

#include <cerrno>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

constexpr int kFileInChild = 3;

void setLimit(int resource, rlim_t value) {
    const rlimit limit{value, value};
    ::setrlimit(resource, &limit);
}

// Between fork and exec only async-signal-safe calls: the server has other threads, whose locks the
// child inherits held.
[[noreturn]] void becomeTool(const char* program, char* const* argv, char* const* environment, int file,
                             int output, const QuarryMediaChild::Limits& limits, int highestDescriptor) {
    // Away from the low numbers first, so that putting one in place never overwrites the other.
    const int movedFile = ::fcntl(file, F_DUPFD, 10);
    const int movedOutput = ::fcntl(output, F_DUPFD, 10);
    const int nothing = ::open("/dev/null", O_RDWR);
    if (movedFile < 0 || movedOutput < 0 || nothing < 0 || ::dup2(nothing, 0) < 0 ||
        ::dup2(movedOutput, 1) < 0 || ::dup2(nothing, 2) < 0 || ::dup2(movedFile, kFileInChild) < 0)
        ::_exit(127);
    if (::syscall(SYS_close_range, kFileInChild + 1, ~0U, 0) != 0) {
        for (int descriptor = kFileInChild + 1; descriptor <= highestDescriptor; ++descriptor)
            ::close(descriptor);
    }
    // Dies with the server, whatever becomes of it (strictly: with the thread that started it, a pool
    // thread, which lives as long as the server).
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    setLimit(RLIMIT_AS, static_cast<rlim_t>(limits.addressSpace));
    if (limits.dataSize > 0)
        setLimit(RLIMIT_DATA, static_cast<rlim_t>(limits.dataSize));
    const rlimit cpu{static_cast<rlim_t>(limits.cpuSeconds), static_cast<rlim_t>(limits.cpuSeconds + 1)};
    ::setrlimit(RLIMIT_CPU, &cpu);
    // It writes no file and leaves no core behind.
    setLimit(RLIMIT_FSIZE, 0);
    setLimit(RLIMIT_CORE, 0);
    setLimit(RLIMIT_NOFILE, 64);
    // Below the server's own threads: a transcoder wants every core, and visitors' pages come first.
    ::setpriority(PRIO_PROCESS, 0, 10);
    // The server ignores SIGPIPE; the tool must die of it when the reader goes.
    ::signal(SIGPIPE, SIG_DFL);
    sigset_t none;
    sigemptyset(&none);
    ::sigprocmask(SIG_SETMASK, &none, nullptr);
    ::execve(program, argv, environment);
    ::_exit(127);
}

} // namespace

namespace QuarryMediaChild {

QByteArray executable(const QByteArray& name) {
    return QStandardPaths::findExecutable(QString::fromUtf8(name)).toLocal8Bit();
}

QByteArrayList inputOptions() {
    return {"-protocol_whitelist", "file", "-format_whitelist",
            "mov,mp4,m4a,3gp,3g2,mj2,matroska,webm,avi,mpeg,mpegts,flv,asf,ogg"};
}

Running::~Running() {
    kill();
}

void Running::kill() {
    m_output = QuarryDescriptor();
    if (m_child <= 0)
        return;
    ::kill(m_child, SIGKILL);
    int status = 0;
    while (::waitpid(m_child, &status, 0) < 0 && errno == EINTR) {
    }
    m_child = 0;
}

bool Running::exitedWell(std::chrono::steady_clock::time_point deadline, const std::atomic_bool* cancelled) {
    m_output = QuarryDescriptor();
    int status = 0;
    for (;;) {
        const pid_t reaped = ::waitpid(m_child, &status, WNOHANG);
        if (reaped == m_child) {
            m_child = 0;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        if (reaped < 0 || (cancelled && cancelled->load()) || std::chrono::steady_clock::now() >= deadline) {
            kill();
            return false;
        }
        ::usleep(5000);
    }
}

std::unique_ptr<Running> start(const QByteArray& program, const QByteArrayList& arguments, int fileDescriptor,
                               const Limits& limits) {
    if (program.isEmpty() || fileDescriptor < 0)
        return nullptr;
    // Everything the child needs is made before the fork: it may not allocate.
    QByteArrayList strings{program};
    strings += arguments;
    std::vector<char*> argv;
    for (QByteArray& string : strings)
        argv.push_back(string.data());
    argv.push_back(nullptr);
    QByteArray path("PATH=/usr/bin:/bin");
    QByteArray locale("LC_ALL=C");
    char* environment[] = {path.data(), locale.data(), nullptr};
    rlimit files{};
    ::getrlimit(RLIMIT_NOFILE, &files);
    const int highestDescriptor =
        files.rlim_cur == RLIM_INFINITY ? 65535 : static_cast<int>(qMin<rlim_t>(files.rlim_cur, 1 << 20));

    int pipe[2];
    if (::pipe2(pipe, O_CLOEXEC) != 0)
        return nullptr;
    const pid_t child = ::fork();
    if (child == 0)
        becomeTool(program.constData(), argv.data(), environment, fileDescriptor, pipe[1], limits,
                   highestDescriptor);
    ::close(pipe[1]);
    QuarryDescriptor output(pipe[0]);
    if (child < 0)
        return nullptr;
    ::fcntl(output.get(), F_SETFL, O_NONBLOCK);
    return std::make_unique<Running>(child, std::move(output));
}

std::optional<QByteArray> run(const QByteArray& program, const QByteArrayList& arguments, int fileDescriptor,
                              const Limits& limits, const std::atomic_bool* cancelled) {
    const std::unique_ptr<Running> child = start(program, arguments, fileDescriptor, limits);
    if (!child)
        return std::nullopt;
    using Clock = std::chrono::steady_clock;
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(limits.wallMilliseconds);
    QByteArray output;
    char buffer[65536];
    for (;;) {
        if ((cancelled && cancelled->load()) || Clock::now() >= deadline)
            return std::nullopt;
        pollfd readable{child->output(), POLLIN, 0};
        if (::poll(&readable, 1, 20) < 0 && errno != EINTR)
            return std::nullopt;
        const ssize_t got = ::read(child->output(), buffer, sizeof buffer);
        if (got > 0) {
            output.append(buffer, got);
            if (output.size() > limits.maxOutput)
                return std::nullopt;
        } else if (got == 0) {
            break;
        } else if (errno != EAGAIN && errno != EINTR) {
            return std::nullopt;
        }
    }
    // The output ended; a tool that still lingers gets the rest of its wall time to exit.
    if (!child->exitedWell(deadline, cancelled))
        return std::nullopt;
    return output;
}

} // namespace QuarryMediaChild
