#include "TestNotificationServer.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

namespace vellmir::test {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString objectPath = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

TestNotificationServer::TestNotificationServer(QDBusConnection bus, bool ownThread, QStringList capabilities)
    : m_bus(std::move(bus))
    , m_capabilities(std::move(capabilities))
{
    if (ownThread) {
        m_thread = std::make_unique<QThread>();
        m_thread->start();
        moveToThread(m_thread.get());
    }
}

TestNotificationServer::~TestNotificationServer()
{
    unregisterFromBus();
    if (m_thread) {
        m_thread->quit();
        m_thread->wait();
    }
}

bool TestNotificationServer::registerOnBus()
{
    if (!m_bus.registerObject(objectPath, this, QDBusConnection::ExportAllSlots))
        return false;
    return m_bus.registerService(service);
}

void TestNotificationServer::unregisterFromBus()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(objectPath);
}

QList<ReceivedNotification> TestNotificationServer::received() const
{
    std::lock_guard lock(m_mutex);
    return m_received;
}

QMap<quint32, ReceivedNotification> TestNotificationServer::shown() const
{
    std::lock_guard lock(m_mutex);
    return m_shown;
}

void TestNotificationServer::setRecordFile(const QString &path)
{
    std::lock_guard lock(m_mutex);
    m_recordFile = path;
}

QList<ReceivedNotification> TestNotificationServer::readRecordFile(const QString &path)
{
    QList<ReceivedNotification> list;
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return list;
    while (!file.atEnd()) {
        const QByteArray line = file.readLine().trimmed();
        if (line.isEmpty())
            continue;
        const QJsonObject o = QJsonDocument::fromJson(line).object();
        list.append({ o.value(QStringLiteral("appName")).toString(),
            quint32(o.value(QStringLiteral("replacesId")).toInteger()), o.value(QStringLiteral("title")).toString(),
            o.value(QStringLiteral("body")).toString(), quint32(o.value(QStringLiteral("id")).toInteger()) });
    }
    return list;
}

uint TestNotificationServer::Notify(const QString &app_name, uint replaces_id, const QString &, const QString &summary,
    const QString &body, const QStringList &, const QVariantMap &, int)
{
    std::lock_guard lock(m_mutex);
    ReceivedNotification note { app_name, replaces_id, summary, body, 0 };
    // As real servers do: an id still on screen is reused, anything else gets a new one.
    note.id = (replaces_id != 0 && m_shown.contains(replaces_id)) ? replaces_id : ++m_lastId;
    m_received.append(note);
    m_shown.insert(note.id, note);
    if (!m_recordFile.isEmpty()) {
        QFile file(m_recordFile);
        if (file.open(QIODevice::WriteOnly | QIODevice::Append)) {
            const QJsonObject o { { QStringLiteral("appName"), note.appName },
                { QStringLiteral("replacesId"), qint64(note.replacesId) }, { QStringLiteral("title"), note.title },
                { QStringLiteral("body"), note.body }, { QStringLiteral("id"), qint64(note.id) } };
            file.write(QJsonDocument(o).toJson(QJsonDocument::Compact) + '\n');
        }
    }
    return note.id;
}

QString TestNotificationServer::GetServerInformation(QString &vendor, QString &version, QString &spec_version)
{
    vendor = QStringLiteral("Vellmir tests");
    version = QStringLiteral("1");
    spec_version = QStringLiteral("1.2");
    return QStringLiteral("test-notification-server");
}

QStringList TestNotificationServer::GetCapabilities()
{
    return m_capabilities;
}

void TestNotificationServer::CloseNotification(uint id)
{
    std::lock_guard lock(m_mutex);
    m_shown.remove(id);
}

} // namespace vellmir::test
