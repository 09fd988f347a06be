#pragma once

#include <QString>
#include <exception>

namespace vellmir {

// What went wrong, for code that must tell errors apart: it decides by the kind, never by the sentence.
enum class ErrorKind {
    failed, // anything without a kind of its own
    cancelled, // the operation's stop token was triggered
    busy, // a lock another process holds
    conflict, // the stored value changed since it was read
};

// Base of every error the system raises. The message is a complete sentence meant for the
// user and is shown unchanged; it never holds a secret.
class Error : public std::exception {
public:
    explicit Error(QString message, ErrorKind kind = ErrorKind::failed)
        : m_message(std::move(message))
        , m_utf8(m_message.toUtf8())
        , m_kind(kind)
    {
    }
    const QString &message() const noexcept { return m_message; }
    const char *what() const noexcept override { return m_utf8.constData(); }
    ErrorKind kind() const noexcept { return m_kind; }

private:
    QString m_message;
    QByteArray m_utf8;
    ErrorKind m_kind;
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
        : Error(QStringLiteral("The operation was cancelled."), ErrorKind::cancelled)
    {
    }
};

} // namespace vellmir
