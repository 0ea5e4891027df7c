#pragma once

#include <QSize>
#include <QtGlobal>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>

// Every decoder of a shared file passes through this gate before it decodes anything. Shared folders
// are filled by other people's devices, and a file of a few bytes can declare a picture that takes
// gigabytes to decode, so a decoder first reads what the file declares (its size and how many frames
// it will decode, never the pixels), works out the most memory its decode can take, and asks:
//
//     const QuarryDecodeGate::Cost cost{declaredSize, framesDecoded, mostBytes};
//     const QuarryDecodeGate::Permit permit = QuarryDecodeGate::process().admit(cost, &cancelled);
//     if (!permit)
//         return permit.refused() ? <no picture, for good: 404, remembered> : <given up: the visitor left>;
//     ... decode ...  // the permit's bytes go back to the process when it is destroyed
//
// A decode past the pixel budget (per frame, more than any camera makes) or the memory budget of one
// decode is refused: answer as for an undecodable file. Any other decode waits until those running in
// the whole process leave room for its bytes, first come first served, so that the worst case at full
// concurrency stays within the process's budget. A decoder in a child process asks for what the child
// may use. Threads: any; admit blocks, so it is called on a decoding thread, never the server thread.
class QuarryDecodeGate {
public:
    struct Limits {
        qint64 maxPixels = 100'000'000;    // per frame
        qint64 maxBytes = 256LL << 20;     // one decode, as Qt's image reader's own allocation limit
        qint64 processBytes = 384LL << 20; // every decode of the process together
    };

    struct Cost {
        QSize size;       // as declared, per frame
        int frames = 1;   // frames decoded
        qint64 bytes = 0; // the most memory the decode takes
    };

    // Room for one decode, held while it runs. Moves; false when the decode may not run.
    class Permit {
    public:
        Permit() = default;
        Permit(Permit&& other) noexcept;
        Permit& operator=(Permit&& other) noexcept;
        ~Permit();
        explicit operator bool() const { return m_gate != nullptr; }
        // Not admitted because the image is too large: it never will be.
        bool refused() const { return m_refused; }

    private:
        friend class QuarryDecodeGate;
        QuarryDecodeGate* m_gate = nullptr;
        qint64 m_bytes = 0;
        bool m_refused = false;
    };

    QuarryDecodeGate();
    explicit QuarryDecodeGate(Limits limits);
    QuarryDecodeGate(const QuarryDecodeGate&) = delete;
    QuarryDecodeGate& operator=(const QuarryDecodeGate&) = delete;

    // The gate every decoder of this process passes through.
    static QuarryDecodeGate& process();

    // Refuses at once, or waits for room; gives up (a false permit, not refused) once *cancelled is set.
    Permit admit(const Cost& cost, const std::atomic_bool* cancelled = nullptr);

    const Limits& limits() const { return m_limits; }
    // Decodes admitted since the gate was made, and the bytes of those running now.
    qint64 admittedCount() const;
    qint64 bytesInUse() const;

private:
    void release(qint64 bytes);

    const Limits m_limits;
    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    qint64 m_inUse = 0;
    qint64 m_admitted = 0;
    // Tickets of the decodes waiting, in the order they came; the first goes once its bytes fit.
    std::deque<quint64> m_waiting;
    quint64 m_nextTicket = 0;
};
