#pragma once

#include <QString>

namespace vellmir {

// Where one review run stands.
class ExcludeReviewState {
public:
    enum class Kind {
        idle, // no review has run yet
        scanning, // the evidence scan runs, until the model review reports progress
        reviewing, // done() of total() candidates are assessed
        complete,
        cancelled,
        failed, // message() is the error's sentence
    };

    ExcludeReviewState() = default;
    static ExcludeReviewState idle() { return ExcludeReviewState(Kind::idle); }
    static ExcludeReviewState scanning() { return ExcludeReviewState(Kind::scanning); }
    static ExcludeReviewState reviewing(qint64 done, qint64 total)
    {
        ExcludeReviewState state(Kind::reviewing);
        state.m_done = done;
        state.m_total = total;
        return state;
    }
    static ExcludeReviewState complete() { return ExcludeReviewState(Kind::complete); }
    static ExcludeReviewState cancelled() { return ExcludeReviewState(Kind::cancelled); }
    static ExcludeReviewState failed(QString message)
    {
        ExcludeReviewState state(Kind::failed);
        state.m_message = std::move(message);
        return state;
    }

    Kind kind() const { return m_kind; }
    qint64 done() const { return m_done; }
    qint64 total() const { return m_total; }
    const QString &message() const { return m_message; }
    // Scanning or reviewing: a run is under way.
    bool isRunning() const { return m_kind == Kind::scanning || m_kind == Kind::reviewing; }

    friend bool operator==(const ExcludeReviewState &, const ExcludeReviewState &) = default;

private:
    explicit ExcludeReviewState(Kind kind)
        : m_kind(kind)
    {
    }
    Kind m_kind = Kind::idle;
    qint64 m_done = 0;
    qint64 m_total = 0;
    QString m_message;
};

} // namespace vellmir
