#pragma once

#include <QString>
#include <optional>

namespace vellmir {

// Whether the on-device model can review folders now; when it cannot, the sentence shown to
// the user instead.
class ExcludeAIAvailability {
public:
    static ExcludeAIAvailability available() { return ExcludeAIAvailability({}); }
    static ExcludeAIAvailability unavailable(QString message) { return ExcludeAIAvailability(std::move(message)); }

    bool isAvailable() const { return !m_message.has_value(); }
    // The user-facing sentence; empty when available.
    QString message() const { return m_message.value_or(QString()); }

    friend bool operator==(const ExcludeAIAvailability &, const ExcludeAIAvailability &) = default;

private:
    explicit ExcludeAIAvailability(std::optional<QString> message)
        : m_message(std::move(message))
    {
    }
    std::optional<QString> m_message;
};

} // namespace vellmir
