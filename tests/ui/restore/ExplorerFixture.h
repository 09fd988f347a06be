#pragma once

#include "../../support/TestSupport.h"
#include "restore/BackupEntry.h"
#include "restore/ProposedBackup.h"

#include <QDir>
#include <QList>
#include <QSemaphore>
#include <QStringList>
#include <atomic>
#include <functional>
#include <memory>

namespace vellmir::test {

// A project folder inside a private home, so the sheet's "~" patterns apply to it:
//   ~/proj/big.bin (300 kB), notes.txt (5 kB), .DS_Store (2 kB),
//   ~/proj/src/main.c (40 kB), ~/proj/src/build/out.o (120 kB)
struct ExplorerFixture {
    TestHome home;
    QString root;

    ExplorerFixture()
        : root(home.path() + QStringLiteral("/proj"))
    {
        QDir().mkpath(root + QStringLiteral("/src/build"));
        writeFile(root + QStringLiteral("/big.bin"), QByteArray(300'000, 'b'));
        writeFile(root + QStringLiteral("/notes.txt"), QByteArray(5'000, 'n'));
        writeFile(root + QStringLiteral("/.DS_Store"), QByteArray(2'000, 'd'));
        writeFile(root + QStringLiteral("/src/main.c"), QByteArray(40'000, 'c'));
        writeFile(root + QStringLiteral("/src/build/out.o"), QByteArray(120'000, 'o'));
    }
    QString path(const QString &relative) const { return root + u'/' + relative; }
};

// A lister whose calls wait until released, one by one, so a test decides when listings land.
struct HeldLister {
    struct State {
        QSemaphore gate;
        std::atomic<int> calls { 0 };
        std::atomic<int> finished { 0 };
    };
    std::shared_ptr<State> state = std::make_shared<State>();
    // Calls numbered in `held` (1-based) wait for release(); the others go straight through.
    QList<int> held;

    std::function<QList<BackupEntry>(const QString &, const QStringList &)> lister() const
    {
        return [state = state, held = held](const QString &directory, const QStringList &excludes) {
            const int call = ++state->calls;
            if (held.contains(call))
                state->gate.acquire();
            QList<BackupEntry> entries = ProposedBackup::children(directory, excludes);
            ++state->finished;
            return entries;
        };
    }
    void release() const { state->gate.release(); }
};

inline QStringList namesOf(const QList<BackupEntry> &entries)
{
    QStringList names;
    for (const BackupEntry &entry : entries)
        names.append(entry.name);
    return names;
}

inline BackupEntry entryNamed(const QList<BackupEntry> &entries, const QString &name)
{
    for (const BackupEntry &entry : entries) {
        if (entry.name == name)
            return entry;
    }
    qFatal("no entry %s", qPrintable(name));
}

} // namespace vellmir::test
