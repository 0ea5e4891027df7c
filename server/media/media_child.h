#pragma once

#include <QByteArray>
#include <QByteArrayList>

#include <atomic>
#include <optional>

// The one way the server runs a media tool (ffmpeg, ffprobe) on a shared file. A hostile file may crash
// or hang the tool, never the server: the child runs without a shell, with limits on memory, CPU and
// wall time, no descriptor but the file we opened beneath the share (as descriptor 3; the tool reads it
// as /proc/self/fd/3, so no name it sees can lead elsewhere), stdin reading nothing, and is always
// killed and reaped before run returns. Threads: any; run blocks its caller.
namespace QuarryMediaChild {

struct Limits {
    qint64 addressSpace = 1536LL * 1024 * 1024;
    int cpuSeconds = 10;
    int wallMilliseconds = 10'000;
    qint64 maxOutput = 16LL * 1024 * 1024;
};

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
