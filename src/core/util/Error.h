#pragma once

#include <QString>
#include <exception>

namespace vellmir {

// Base of every error the system raises. The message is a complete sentence meant for the
// user and is shown unchanged; it never holds a secret.
class Error : public std::exception {
public:
    explicit Error(QString message)
        : m_message(std::move(message))
        , m_utf8(m_message.toUtf8())
    {
    }
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }

private:
    QString m_message;
    QByteArray m_utf8;
};

// The sentence of any caught exception: our own errors' message, else what() as local text.
inline QString errorDescription(const std::exception &error)
{
    if (const auto *own = dynamic_cast<const Error *>(&error))
        return own->message();
    return QString::fromLocal8Bit(error.what());
}

// Thrown by a blocking operation whose std::stop_token was triggered before it finished.
class CancellationError : public Error {
public:
    CancellationError()
        : Error(QStringLiteral("The operation was cancelled."))
    {
    }
};

} // namespace vellmir
