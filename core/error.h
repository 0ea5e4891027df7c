#pragma once

#include <QString>

#include <utility>
#include <variant>

// A failure inside the application: a domain text, an integer code and the message the user sees.
struct QuarryError {
    QString domain;
    int code = 0;
    QString message;

    bool operator==(const QuarryError&) const = default;
};

// Either a value or the error that prevented it. `QuarryResult<void>` carries no value.
template <typename T>
class [[nodiscard]] QuarryResult {
public:
    QuarryResult(T value)
        : m_state(std::move(value)) {}
    QuarryResult(QuarryError error)
        : m_state(std::move(error)) {}

    bool ok() const { return std::holds_alternative<T>(m_state); }
    explicit operator bool() const { return ok(); }

    const T& value() const& { return std::get<T>(m_state); }
    T& value() & { return std::get<T>(m_state); }
    T&& value() && { return std::get<T>(std::move(m_state)); }
    const T& operator*() const& { return value(); }
    const T* operator->() const { return &value(); }

    const QuarryError& error() const { return std::get<QuarryError>(m_state); }

private:
    std::variant<T, QuarryError> m_state;
};

template <>
class [[nodiscard]] QuarryResult<void> {
public:
    QuarryResult() = default;
    QuarryResult(QuarryError error)
        : m_error(std::move(error))
        , m_failed(true) {}

    bool ok() const { return !m_failed; }
    explicit operator bool() const { return ok(); }
    const QuarryError& error() const { return m_error; }

private:
    QuarryError m_error;
    bool m_failed = false;
};
