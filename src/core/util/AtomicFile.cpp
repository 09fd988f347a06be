#include "util/AtomicFile.h"

#include "util/Error.h"
#include "util/SystemError.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace vellmir {

void ensureDirectory(const QString &path)
{
    if (QFileInfo(path).isDir())
        return;
    if (!QDir().mkpath(path))
        throw Error(QStringLiteral("Could not create the folder %1.").arg(path));
}

void writeFileAtomically(const QString &path, const QByteArray &data)
{
    const QFileInfo info(path);
    ensureDirectory(info.absolutePath());
    QSaveFile file(path);
    // Qt leaves some failures without a message of its own ("Unknown error" for a write cut
    // short by a full disk); the system's reason is then in errno, cleared before each step.
    auto fail = [&] {
        const int error = errno;
        const QString reason = error != 0 ? systemErrorText(error) : file.errorString();
        file.cancelWriting();
        throw Error(QStringLiteral("Could not write %1: %2.").arg(info.fileName(), reason));
    };
    errno = 0;
    if (!file.open(QIODevice::WriteOnly))
        fail();
    errno = 0;
    if (file.write(data) != data.size())
        fail();
    errno = 0;
    if (!file.flush())
        fail();
    // A rename is only as good as the data behind it: push the bytes to disk first so a
    // power loss cannot leave an empty file under the final name.
    errno = 0;
    if (::fsync(file.handle()) != 0)
        fail();
    errno = 0;
    if (!file.commit())
        fail();
}

std::optional<QByteArray> readFileIfExists(const QString &path)
{
    QFile file(path);
    if (!file.exists())
        return std::nullopt;
    if (!file.open(QIODevice::ReadOnly)) {
        if (!file.exists())
            return std::nullopt;
        throw Error(QStringLiteral("Could not read %1: %2.").arg(QFileInfo(path).fileName(), file.errorString()));
    }
    QByteArray data = file.readAll();
    if (file.error() != QFileDevice::NoError)
        throw Error(QStringLiteral("Could not read %1: %2.").arg(QFileInfo(path).fileName(), file.errorString()));
    return data;
}

} // namespace vellmir
