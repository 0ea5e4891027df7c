#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include "server/files/descriptor.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <optional>
#include <sys/types.h>

// The one way the server runs a media tool (ffmpeg, ffprobe) on a shared file. A hostile file may crash
// or hang the tool, never the server: the child runs without a shell, with limits on memory, CPU and
// wall time, no descriptor but the file we opened beneath the share (as descriptor 3; the tool reads it
// as /proc/self/fd/3, so no name it sees can lead elsewhere), stdin reading nothing, and is always
// killed and reaped before run returns. Threads: any; run blocks its caller.
namespace QuarryMediaChild {

struct Limits {
    qint64 addressSpace = 1536LL * 1024 * 1024;
    // The heap and private mappings: the memory the child can really take (the address space counts
    // every library mapped too); 0 for no limit of its own.
    qint64 dataSize = 0;
    int cpuSeconds = 10;
    int wallMilliseconds = 10'000;
    qint64 maxOutput = 16LL * 1024 * 1024;
};

// A tool whose output is read while it runs (a stream). Killed and reaped when destroyed.
class Running {
public:
    Running(pid_t child, QuarryDescriptor output)
        : m_child(child)
        , m_output(std::move(output)) {}
    ~Running();
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

    // Its standard output, non-blocking.
    int output() const { return m_output.get(); }
    // Whether it exits with status 0 by the deadline; killed when not, or when cancelled.
    bool exitedWell(std::chrono::steady_clock::time_point deadline, const std::atomic_bool* cancelled);
    void kill();

private:
    pid_t m_child;
    QuarryDescriptor m_output;
};

// A tool started as run starts it; nothing when it cannot be. The wall time is the caller's to keep.
std::unique_ptr<Running> start(const QByteArray& program, const QByteArrayList& arguments, int fileDescriptor,
                               const Limits& limits);

// The tool's standard output when it exits with status 0 within its limits; nothing when it fails, is
// killed, writes more than maxOutput, or cancelled becomes true (checked every few milliseconds).
std::optional<QByteArray> run(const QByteArray& program, const QByteArrayList& arguments, int fileDescriptor,
                              const Limits& limits = {}, const std::atomic_bool* cancelled = nullptr);

// The full path of a tool found on PATH; empty when it is not installed.
QByteArray executable(const QByteArray& name);

// What the tools are told about their input so they open nothing but it: no protocol but the file
// handed over, and only container formats of video (no playlists or concatenations naming other files).
QByteArrayList inputOptions();

} // namespace QuarryMediaChild
