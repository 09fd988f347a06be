#pragma once

#include <QString>

namespace vellmir {

// The verdict of a seal check.
class ConfigIntegrity {
public:
    enum class Kind { unavailable, valid, changed };

    // The check could not be made; `message` is a sentence for the user, shown unchanged.
    static ConfigIntegrity unavailable(const QString &message) { return ConfigIntegrity(Kind::unavailable, message); }
    // The configuration is exactly the sealed one and the seal is authentic.
    static ConfigIntegrity valid() { return ConfigIntegrity(Kind::valid, {}); }
    // The configuration, or the seal itself, differs from what the application last wrote.
    static ConfigIntegrity changed() { return ConfigIntegrity(Kind::changed, {}); }

    Kind kind() const { return m_kind; }
    bool isValid() const { return m_kind == Kind::valid; }
    bool isChanged() const { return m_kind == Kind::changed; }
    bool isUnavailable() const { return m_kind == Kind::unavailable; }
    // The sentence of `unavailable`; empty otherwise.
    const QString &message() const { return m_message; }

    // "valid", "changed" or "unavailable(<message>)", for logs and test output.
    QString debugText() const
    {
        switch (m_kind) {
        case Kind::valid:
            return QStringLiteral("valid");
        case Kind::changed:
            return QStringLiteral("changed");
        case Kind::unavailable:
            break;
        }
        return QStringLiteral("unavailable(%1)").arg(m_message);
    }

    friend bool operator==(const ConfigIntegrity &, const ConfigIntegrity &) = default;

private:
    ConfigIntegrity(Kind kind, QString message)
        : m_kind(kind)
        , m_message(std::move(message))
    {
    }
    Kind m_kind;
    QString m_message;
};

} // namespace vellmir
