#pragma once

#include <unistd.h>

#include <utility>

// An open file descriptor, closed when its owner is done with it. Empty (-1) when an open failed, with
// errno as the open left it.
class QuarryDescriptor {
public:
    QuarryDescriptor() = default;
    explicit QuarryDescriptor(int descriptor)
        : m_descriptor(descriptor) {}
    ~QuarryDescriptor() { reset(); }
    QuarryDescriptor(QuarryDescriptor&& other) noexcept
        : m_descriptor(other.release()) {}
    QuarryDescriptor& operator=(QuarryDescriptor&& other) noexcept {
        if (this != &other) {
            reset();
            m_descriptor = other.release();
        }
        return *this;
    }
    QuarryDescriptor(const QuarryDescriptor&) = delete;
    QuarryDescriptor& operator=(const QuarryDescriptor&) = delete;

    int get() const { return m_descriptor; }
    bool isOpen() const { return m_descriptor >= 0; }
    // Hands the descriptor to a new owner; this one holds nothing after.
    int release() { return std::exchange(m_descriptor, -1); }

private:
    void reset() {
        if (m_descriptor >= 0)
            ::close(std::exchange(m_descriptor, -1));
    }

    int m_descriptor = -1;
};
