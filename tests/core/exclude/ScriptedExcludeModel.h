#pragma once

#include "exclude/ExcludeModelProviding.h"
#include "util/Error.h"

#include <QList>
#include <condition_variable>
#include <functional>
#include <mutex>

namespace vellmir::test {

// A model that answers from a script and records every batch it was asked about. Each answer
// names the batch's candidates by evidence id. With hold() set, classify() waits until
// release() or until the review is stopped, so a test can act while a request is under way.
class ScriptedExcludeModel : public ExcludeModelProviding {
public:
    using Answer = std::function<QList<ExcludeModelDecision>(const QList<ExcludeEvidence> &batch, int call)>;

    // By default every candidate gets "exclude" with a short explanation.
    static QList<ExcludeModelDecision> excludeAll(const QList<ExcludeEvidence> &batch, int)
    {
        QList<ExcludeModelDecision> decisions;
        for (const ExcludeEvidence &item : batch)
            decisions.append({ item.id(), QStringLiteral("exclude"), QStringLiteral("A cache tag declares it.") });
        return decisions;
    }

    explicit ScriptedExcludeModel(Answer answer = excludeAll)
        : m_answer(std::move(answer))
    {
    }

    QList<ExcludeModelDecision> classify(const QList<ExcludeEvidence> &batch, std::stop_token stop) override
    {
        std::unique_lock lock(m_mutex);
        const int call = static_cast<int>(m_batches.size());
        m_batches.append(batch);
        m_changed.notify_all();
        m_changed.wait(lock, stop, [this] { return !m_hold; });
        if (stop.stop_requested() && m_failWhenStopped)
            throw Error(QStringLiteral("The request broke off."));
        if (stop.stop_requested())
            throw CancellationError();
        lock.unlock();
        return m_answer(batch, call);
    }

    QList<QList<ExcludeEvidence>> batches() const
    {
        const std::lock_guard guard(m_mutex);
        return m_batches;
    }
    void hold()
    {
        const std::lock_guard guard(m_mutex);
        m_hold = true;
    }
    void release()
    {
        const std::lock_guard guard(m_mutex);
        m_hold = false;
        m_changed.notify_all();
    }
    // A stopped request fails with an error of its own instead of the cancellation error.
    void failWhenStopped()
    {
        const std::lock_guard guard(m_mutex);
        m_failWhenStopped = true;
    }
    // Waits until `count` requests have arrived.
    void waitForRequests(qsizetype count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_batches.size() >= count; });
    }

private:
    Answer m_answer;
    mutable std::mutex m_mutex;
    std::condition_variable_any m_changed;
    QList<QList<ExcludeEvidence>> m_batches;
    bool m_hold = false;
    bool m_failWhenStopped = false;
};

// Evidence that passes every gate of the scan: complete, no risk, with recovery.
inline ExcludeEvidence eligibleEvidence(const QString &path, qint64 bytes = 1000)
{
    ExcludeEvidence evidence;
    evidence.path = path;
    evidence.relativePath = path.mid(path.indexOf(u'/', 1));
    evidence.bytes = bytes;
    evidence.fileCount = 3;
    evidence.fileTypes = { QStringLiteral("bin") };
    evidence.markers = { QStringLiteral("Verified CACHEDIR.TAG signature") };
    evidence.complete = true;
    evidence.recovery = QStringLiteral("A valid cache tag declares this folder regenerable.");
    return evidence;
}

} // namespace vellmir::test
