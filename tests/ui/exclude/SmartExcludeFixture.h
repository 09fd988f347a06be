#pragma once

#include "../../core/exclude/ScriptedExcludeModel.h"
#include "exclude/SmartExcludeSheetModel.h"

#include <QStringList>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <stop_token>
#include <thread>

namespace vellmir::test {

// A gate a worker waits at until the test opens it; open from the start unless closed.
class Gate {
public:
    void close()
    {
        const std::lock_guard guard(m_mutex);
        m_open = false;
    }
    void open()
    {
        const std::lock_guard guard(m_mutex);
        m_open = true;
        m_changed.notify_all();
    }
    // Waits until the gate opens, or until `stop` is requested, as a real scan would end.
    void pass(std::stop_token stop = {})
    {
        std::unique_lock lock(m_mutex);
        ++m_waiting;
        m_changed.notify_all();
        m_changed.wait(lock, stop, [this] { return m_open; });
    }
    // Waits until `count` workers have reached the gate.
    void waitForArrivals(int count)
    {
        std::unique_lock lock(m_mutex);
        m_changed.wait(lock, [&] { return m_waiting >= count; });
    }

private:
    std::mutex m_mutex;
    std::condition_variable_any m_changed;
    bool m_open = true;
    int m_waiting = 0;
};

inline ExcludeCandidate candidate(const QString &pattern, qint64 bytes, bool recommended,
    ExcludeCandidate::Source source = ExcludeCandidate::Source::rule, qint64 count = 1)
{
    return ExcludeCandidate { pattern, pattern, QStringLiteral("Why ") + pattern, count, bytes, recommended, source };
}

// Scripted scans, model and availability behind the sheet. The rule scan and the evidence scan
// each wait at their own gate; the evidence scan answers with `discovery` whatever roots it gets,
// so a test changes a folder by changing `discovery` between review and apply.
struct SmartExcludeWorld {
    struct Shared {
        std::mutex mutex;
        QList<ExcludeCandidate> found;
        ExcludeDiscovery discovery;
        ExcludeAIAvailability availability = ExcludeAIAvailability::available();
        QStringList revealed;
        Gate scanGate;
        Gate evidenceGate;
    };
    std::shared_ptr<Shared> shared = std::make_shared<Shared>();
    std::shared_ptr<ScriptedExcludeModel> provider = std::make_shared<ScriptedExcludeModel>();
    QList<QStringList> applied;

    void setFound(const QList<ExcludeCandidate> &found)
    {
        const std::lock_guard guard(shared->mutex);
        shared->found = found;
    }
    void setDiscovery(const ExcludeDiscovery &discovery)
    {
        const std::lock_guard guard(shared->mutex);
        shared->discovery = discovery;
    }
    void setAvailability(const ExcludeAIAvailability &availability)
    {
        const std::lock_guard guard(shared->mutex);
        shared->availability = availability;
    }
    QStringList revealed() const
    {
        const std::lock_guard guard(shared->mutex);
        return shared->revealed;
    }

    SmartExcludeServices services() const
    {
        SmartExcludeServices services;
        services.detect = [shared = shared](const QStringList &) {
            shared->scanGate.pass();
            const std::lock_guard guard(shared->mutex);
            return shared->found;
        };
        services.evidenceScanner
            = [shared = shared](const QStringList &, const ExcludeScanLimits &, std::stop_token stop) {
                  shared->evidenceGate.pass(stop);
                  const std::lock_guard guard(shared->mutex);
                  return shared->discovery;
              };
        services.provider = [provider = provider]() -> std::shared_ptr<ExcludeModelProviding> { return provider; };
        services.availability = [shared = shared] {
            const std::lock_guard guard(shared->mutex);
            return shared->availability;
        };
        services.reveal = [shared = shared](const QString &path) {
            const std::lock_guard guard(shared->mutex);
            shared->revealed.append(path);
        };
        return services;
    }

    SmartExcludeSheetModel::ApplyCallback callback()
    {
        return [this](const QStringList &patterns) { applied.append(patterns); };
    }
};

// The model answers "keep" for the folders named here and "exclude" for the rest.
inline ScriptedExcludeModel::Answer keeping(const QStringList &kept)
{
    return [kept](const QList<ExcludeEvidence> &batch, int) {
        QList<ExcludeModelDecision> decisions;
        for (const ExcludeEvidence &item : batch) {
            const bool keep = kept.contains(item.path);
            decisions.append({ item.id(), keep ? QStringLiteral("keep") : QStringLiteral("exclude"),
                keep ? QStringLiteral("It holds project notes.") : QStringLiteral("A cache tag declares it.") });
        }
        return decisions;
    };
}

} // namespace vellmir::test
