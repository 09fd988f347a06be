#include "protection/RecoveryKit.h"

#include "util/AtomicFile.h"
#include "util/Error.h"
#include "util/LocalPath.h"
#include "util/SystemError.h"
#include "util/TextRules.h"
#include "util/Uuid.h"

#include <QFile>

#include <cerrno>
#include <sys/stat.h>

namespace vellmir {

const QString RecoveryKit::folderPrefix = QStringLiteral("Vellmir Recovery Kit ");
const QString RecoveryKit::planFileName = QStringLiteral("recovery-plan.json");
const QString RecoveryKit::readMeFileName = QStringLiteral("READ-ME.txt");
QString RecoveryKit::exportedMessage(const QString &kit)
{
    return QStringLiteral("Exported to %1 without secrets. Keep the kit and required passwords accessible "
                          "independently of this computer.")
        .arg(kit);
}

RecoveryKit::RecoveryKit(Destination destination, FolderChooser chooser, FolderRevealer revealer, QObject *parent)
    : QObject(parent)
    , m_destination(std::move(destination))
    , m_chooser(std::move(chooser))
    , m_revealer(std::move(revealer))
{
}

QString RecoveryKit::writeKit(const Destination &destination, const QString &folder)
{
    QString base = folder;
    while (base.size() > 1 && base.endsWith(u'/'))
        base.chop(1);
    const QString kit = (base == QLatin1String("/") ? base : base + u'/') + folderPrefix + uuidText(newUuid());
    // Filled under a name that says it is unfinished: a kit that a kill or a full disk cut short
    // never passes for a complete one.
    const QString unfinished = kit + unfinishedMark();
    const QByteArray path = LocalPath::encode(unfinished);
    // No intermediate folders: a chosen folder that vanished is an error, not a new tree. The
    // mode is set again after creation because the umask may have taken bits away.
    if (::mkdir(path.constData(), 0700) != 0 || ::chmod(path.constData(), 0700) != 0) {
        const int error = errno;
        throw Error(QStringLiteral("Could not create the folder %1: %2.").arg(unfinished, systemErrorText(error)));
    }

    const RecoveryPlan plan(destination);
    writeFileAtomically(unfinished + u'/' + planFileName, plan.encodeFile());
    writeFileAtomically(unfinished + u'/' + readMeFileName, plan.instructions().toUtf8());
    renameWithoutReplacing(unfinished, kit);
    return kit;
}

void RecoveryKit::exportKit()
{
    const std::optional<QString> folder = m_chooser ? m_chooser() : std::nullopt;
    if (!folder || folder->isEmpty())
        return;
    QString kit;
    try {
        kit = writeKit(m_destination, *folder);
    } catch (const std::exception &error) {
        setMessage(QStringLiteral("Export failed: ") + errorDescription(error));
        return;
    }
    setMessage(exportedMessage(kit));
    if (m_revealer)
        m_revealer(kit);
}

void RecoveryKit::setMessage(const QString &message)
{
    // It names the folder the user chose, which may hold a line break or what shows as nothing.
    const QString shown = TextRules::visible(message);
    if (m_message == shown)
        return;
    m_message = shown;
    Q_EMIT messageChanged();
}

} // namespace vellmir
