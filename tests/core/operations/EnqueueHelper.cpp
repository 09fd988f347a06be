// Usage: BackupRequestsEnqueueHelper <queue folder> <start time, Unix ms> <destination UUID>...
// Waits for the start time, enqueues each destination in turn and prints
// "<destination> <request id>" per line.
#include "operations/BackupRequests.h"
#include "util/Error.h"
#include "util/Uuid.h"

#include <QDateTime>
#include <QString>

#include <cstdio>
#include <thread>

int main(int argc, char **argv)
{
    using namespace vellmir;
    if (argc < 4)
        return 2;
    const BackupRequests queue(QString::fromLocal8Bit(argv[1]));
    const qint64 start = QByteArray(argv[2]).toLongLong();
    while (QDateTime::currentMSecsSinceEpoch() < start)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    try {
        for (int i = 3; i < argc; ++i) {
            const std::optional<QUuid> destination = parseUuid(QString::fromLatin1(argv[i]));
            if (!destination)
                return 2;
            const BackupRequests::Request request = queue.enqueue(*destination, Date::now());
            std::printf("%s %s\n", qPrintable(uuidText(*destination)), qPrintable(uuidText(request.id)));
        }
    } catch (const Error &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    return 0;
}
