#include "server/media/decode_gate.h"

#include <algorithm>
#include <chrono>
#include <utility>

namespace {

// How often a waiting decode looks whether its visitor has gone.
constexpr std::chrono::milliseconds kCancelCheck(50);

} // namespace

QuarryDecodeGate::Permit::Permit(Permit&& other) noexcept
    : m_gate(std::exchange(other.m_gate, nullptr))
    , m_bytes(std::exchange(other.m_bytes, 0))
    , m_refused(other.m_refused) {}

QuarryDecodeGate::Permit& QuarryDecodeGate::Permit::operator=(Permit&& other) noexcept {
    if (this != &other) {
        if (m_gate)
            m_gate->release(m_bytes);
        m_gate = std::exchange(other.m_gate, nullptr);
        m_bytes = std::exchange(other.m_bytes, 0);
        m_refused = other.m_refused;
    }
    return *this;
}

QuarryDecodeGate::Permit::~Permit() {
    if (m_gate)
        m_gate->release(m_bytes);
}

QuarryDecodeGate::QuarryDecodeGate()
    : QuarryDecodeGate(Limits()) {}

QuarryDecodeGate::QuarryDecodeGate(Limits limits)
    : m_limits{limits.maxPixels, std::min(limits.maxBytes, limits.processBytes), limits.processBytes} {}

QuarryDecodeGate& QuarryDecodeGate::process() {
    static QuarryDecodeGate gate;
    return gate;
}

QuarryDecodeGate::Permit QuarryDecodeGate::admit(const Cost& cost, const std::atomic_bool* cancelled) {
    Permit permit;
    const qint64 pixels = qint64(cost.size.width()) * cost.size.height();
    if (cost.size.width() <= 0 || cost.size.height() <= 0 || cost.frames < 1 ||
        pixels > m_limits.maxPixels / cost.frames || cost.bytes > m_limits.maxBytes) {
        permit.m_refused = true;
        return permit;
    }
    const qint64 bytes = std::max<qint64>(cost.bytes, 0);
    std::unique_lock locker(m_lock);
    const quint64 ticket = m_nextTicket++;
    m_waiting.push_back(ticket);
    for (;;) {
        if (m_waiting.front() == ticket && m_inUse + bytes <= m_limits.processBytes)
            break;
        if (cancelled && *cancelled) {
            m_waiting.erase(std::find(m_waiting.begin(), m_waiting.end(), ticket));
            // The next in line may fit now that this one is out of the way.
            m_changed.notify_all();
            return permit;
        }
        m_changed.wait_for(locker, kCancelCheck);
    }
    m_waiting.pop_front();
    m_inUse += bytes;
    ++m_admitted;
    m_changed.notify_all();
    permit.m_gate = this;
    permit.m_bytes = bytes;
    return permit;
}

void QuarryDecodeGate::release(qint64 bytes) {
    {
        const std::lock_guard locker(m_lock);
        m_inUse -= bytes;
    }
    m_changed.notify_all();
}

qint64 QuarryDecodeGate::admittedCount() const {
    const std::lock_guard locker(m_lock);
    return m_admitted;
}

qint64 QuarryDecodeGate::bytesInUse() const {
    const std::lock_guard locker(m_lock);
    return m_inUse;
}
