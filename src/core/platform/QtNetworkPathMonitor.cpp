#include "platform/QtNetworkPathMonitor.h"

#include <QCoreApplication>
#include <QMetaObject>
#include <QThread>
#include <atomic>
#include <mutex>
#include <utility>

namespace vellmir {

namespace {
// Loads the backend on first use; remembers a failure so later checks do not scan the
// plugins again. Runs on the application thread only.
QNetworkInformation *loadedInformation()
{
    static std::atomic<bool> tried = false;
    if (QNetworkInformation *info = QNetworkInformation::instance())
        return info;
    if (tried.exchange(true))
        return nullptr;
    if (!QNetworkInformation::loadDefaultBackend())
        QNetworkInformation::loadBackendByFeatures(QNetworkInformation::Feature::Reachability);
    return QNetworkInformation::instance();
}

bool onApplicationThread()
{
    const QCoreApplication *app = QCoreApplication::instance();
    return app && QThread::currentThread() == app->thread();
}
} // namespace

struct QtNetworkPathMonitor::State {
    std::mutex mutex;
    Handler handler;
    bool cancelled = false;
    QMetaObject::Connection reachabilityChange;
    QMetaObject::Connection meteredChange;

    void report(const NetworkPath &path)
    {
        Handler copy;
        {
            std::lock_guard lock(mutex);
            if (cancelled)
                return;
            copy = handler;
        }
        // Outside the lock: the handler may cancel this very monitor.
        copy(path);
    }

    void reportCurrent(QNetworkInformation *info)
    {
        const bool metered = info->supports(QNetworkInformation::Feature::Metered) && info->isMetered();
        if (const std::optional<NetworkPath> path = pathFor(info->reachability(), metered))
            report(*path);
    }
};

QtNetworkPathMonitor::QtNetworkPathMonitor()
    : m_state(std::make_shared<State>())
{
}

QtNetworkPathMonitor::~QtNetworkPathMonitor()
{
    cancel();
}

std::optional<NetworkPath> QtNetworkPathMonitor::pathFor(QNetworkInformation::Reachability reachability, bool metered)
{
    using R = QNetworkInformation::Reachability;
    switch (reachability) {
    case R::Unknown:
        return std::nullopt;
    case R::Disconnected:
    case R::Local:
        // Link-local addresses only: no router, so no repository beyond this cable.
        return NetworkPath { false, metered, false };
    case R::Site:
    case R::Online:
        // A site network without internet still reaches an SFTP server on the same LAN;
        // whether the repository itself answers is restic's to find out.
        return NetworkPath { true, metered, false };
    }
    return std::nullopt;
}

void QtNetworkPathMonitor::start(Handler handler)
{
    {
        std::lock_guard lock(m_state->mutex);
        m_state->handler = std::move(handler);
    }
    std::weak_ptr<State> weak = m_state;
    auto begin = [weak] {
        const std::shared_ptr<State> state = weak.lock();
        if (!state)
            return;
        QNetworkInformation *info = loadedInformation();
        if (!info) {
            state->report(NetworkPath { true, false, false });
            return;
        }
        // Direct connections: the handler is thread-safe, and the waiting caller may be on
        // another thread without an event loop of its own.
        auto changed = [weak, info] {
            if (const std::shared_ptr<State> current = weak.lock())
                current->reportCurrent(info);
        };
        {
            std::lock_guard lock(state->mutex);
            if (state->cancelled)
                return;
            state->reachabilityChange = QObject::connect(
                info, &QNetworkInformation::reachabilityChanged, info, changed, Qt::DirectConnection);
            state->meteredChange
                = QObject::connect(info, &QNetworkInformation::isMeteredChanged, info, changed, Qt::DirectConnection);
        }
        state->reportCurrent(info);
    };
    if (!QCoreApplication::instance() || onApplicationThread())
        begin();
    else
        QMetaObject::invokeMethod(QCoreApplication::instance(), begin, Qt::QueuedConnection);
}

void QtNetworkPathMonitor::cancel()
{
    QMetaObject::Connection reachability;
    QMetaObject::Connection metered;
    {
        std::lock_guard lock(m_state->mutex);
        m_state->cancelled = true;
        reachability = std::exchange(m_state->reachabilityChange, {});
        metered = std::exchange(m_state->meteredChange, {});
    }
    QObject::disconnect(reachability);
    QObject::disconnect(metered);
}

} // namespace vellmir
