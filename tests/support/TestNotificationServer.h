#pragma once

#include <QDBusConnection>
#include <QList>
#include <QMap>
#include <QObject>
#include <QStringList>
#include <QThread>
#include <QVariantMap>
#include <memory>
#include <mutex>

namespace vellmir::test {

// One Notify call as the server received it, with the id it answered.
struct ReceivedNotification {
    QString appName;
    quint32 replacesId = 0;
    QString title;
    QString body;
    quint32 id = 0;
};

// A notification server implementing org.freedesktop.Notifications well enough for tests:
// it records every Notify call and keeps what a user would now see, a notification sent with
// the id of a shown one replacing it. With `ownThread` it serves from a thread of its own, so
// that code blocking in a D-Bus call on the test's thread still gets its answer.
class TestNotificationServer : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    TestNotificationServer(QDBusConnection bus, bool ownThread, QStringList capabilities = { QStringLiteral("body") });
    ~TestNotificationServer() override;

    // Registers the service name and object; false when the name is taken or the bus refused.
    bool registerOnBus();
    // Gives the name up (the server stays alive but unreachable).
    void unregisterFromBus();

    QList<ReceivedNotification> received() const;
    // The notifications on screen, by id.
    QMap<quint32, ReceivedNotification> shown() const;

    // Appends each received notification to `path` as one JSON line (see readRecordFile).
    void setRecordFile(const QString &path);
    static QList<ReceivedNotification> readRecordFile(const QString &path);

public Q_SLOTS:
    uint Notify(const QString &app_name, uint replaces_id, const QString &app_icon, const QString &summary,
        const QString &body, const QStringList &actions, const QVariantMap &hints, int expire_timeout);
    QString GetServerInformation(QString &vendor, QString &version, QString &spec_version);
    QStringList GetCapabilities();
    void CloseNotification(uint id);

private:
    QDBusConnection m_bus;
    QStringList m_capabilities;
    std::unique_ptr<QThread> m_thread;
    mutable std::mutex m_mutex;
    QList<ReceivedNotification> m_received;
    QMap<quint32, ReceivedNotification> m_shown;
    quint32 m_lastId = 0;
    QString m_recordFile;
};

} // namespace vellmir::test
