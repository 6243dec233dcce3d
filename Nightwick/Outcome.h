#pragma once

#include <QString>

#include <utility>

// The result of an operation on the system that can fail with a message for the user. A failure
// dropped unread is a failure the user never hears of, so the compiler asks for a look.
class [[nodiscard]] Outcome {
public:
    static Outcome success() { return Outcome{}; }
    static Outcome failure(QString description) { return Outcome{std::move(description)}; }

    bool ok() const { return !m_failed; }
    // The system's own words for what went wrong; empty on success.
    const QString& errorDescription() const { return m_description; }

private:
    Outcome() = default;
    explicit Outcome(QString description)
        : m_failed(true)
        , m_description(std::move(description))
    {
    }

    bool m_failed = false;
    QString m_description;
};
