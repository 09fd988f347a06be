// A second process for the destination store's tests.
//
//   DestinationStoreHelper save-loop <destinations file> <key file> <secrets folder> <user defaults>
//     Changes the configuration for ever, over file-backed key and secret stores: save k puts
//     "save k" into slot k % 3 (a fixed id per slot); after a save into the last slot it removes
//     that destination and restores it; then it switches the agent policy. Prints "saved k"
//     after each round. Continues from the highest k in the file. Exits 2 when a change fails.
//   DestinationStoreHelper hold-lock <lock file> <marker file> <milliseconds>
//     Takes the lock without waiting, prints "locked", sleeps, creates the marker, and only
//     then lets the lock go by exiting.

#include "DestinationStoreHelper.h"
#include "FileSealKeyStore.h"
#include "FileSecretStorage.h"
#include "config/DestinationStore.h"
#include "config/DestinationWriter.h"
#include "config/FileLock.h"
#include "util/AtomicFile.h"

#include <QCoreApplication>
#include <QThread>
#include <cstdio>

using namespace vellmir;

namespace {

int saveLoop(const QStringList &args)
{
    const CredentialsStore credentials(std::make_shared<test::FileSecretStorage>(args.at(2)));
    DestinationStore store(args.at(0), credentials, std::make_shared<test::FileSealKeyStore>(args.at(1)), args.at(3));
    const DestinationWriter writer(credentials);
    qint64 k = 0;
    for (const Destination &destination : store.destinations())
        k = std::max(k, test::saveNumber(destination) + 1);
    while (true) {
        try {
            const Destination saved = writer.save(
                test::slotDestination(k), { { QStringLiteral("RESTIC_PASSWORD"), test::slotPassword(k) } }, store);
            if (k % test::saveSlots == test::saveSlots - 1)
                store.restore(store.remove(saved, credentials), credentials);
            store.setChangesWithoutApproval(k % 2 == 1);
        } catch (const std::exception &error) {
            std::fprintf(stderr, "save %lld failed: %s\n", static_cast<long long>(k), error.what());
            return 2;
        }
        std::printf("saved %lld\n", static_cast<long long>(k));
        std::fflush(stdout);
        ++k;
    }
}

int holdLock(const QStringList &args)
{
    const FileLock lock(args.at(0), false);
    std::printf("locked\n");
    std::fflush(stdout);
    QThread::msleep(args.at(2).toULong());
    writeFileAtomically(args.at(1), "released");
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments().mid(1);
    const QString mode = args.isEmpty() ? QString() : args.takeFirst();
    try {
        if (mode == QStringLiteral("save-loop") && args.size() == 4)
            return saveLoop(args);
        if (mode == QStringLiteral("hold-lock") && args.size() == 3)
            return holdLock(args);
    } catch (const std::exception &error) {
        std::fprintf(stderr, "%s\n", error.what());
        return 1;
    }
    std::fprintf(stderr, "usage: DestinationStoreHelper save-loop|hold-lock ...\n");
    return 64;
}
