#pragma once

// Small helpers shared by the benchmarks: the median of repeated timings, and writing the
// files of a generated tree.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QString>

#include <cstdio>

#include <algorithm>
#include <functional>

namespace vellmir::bench {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// The median wall time of `rounds` runs of `work`, in milliseconds.
inline double timeMs(int rounds, const std::function<void()> &work)
{
    QList<double> times;
    for (int round = 0; round < rounds; ++round) {
        QElapsedTimer timer;
        timer.start();
        work();
        times.append(double(timer.nsecsElapsed()) / 1e6);
    }
    return median(times);
}

inline bool writeFile(const QString &path, int size)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(size, 'v')) == size;
}

// Writes `count` files below `root`, in groups of 25 folders of 40 files each; `folderFor(part)`
// names a group's folder number `part` (0-24) below "<root>/<groupPrefix><n>". Every tenth file is a
// "trace<i>.log", the rest "file<i><suffix>", sizes from 10 bytes to about 9 KB. Prints what it wrote;
// false when a file could not be written.
inline bool writeTree(const QString &root, int count, const QString &groupPrefix,
    const std::function<QString(int part)> &folderFor, const QString &suffix)
{
    int written = 0;
    int folders = 0;
    for (int group = 0; written < count; ++group) {
        const QString base = root + u'/' + groupPrefix + QString::number(group);
        for (int part = 0; part < 25 && written < count; ++part) {
            const QString folder = base + u'/' + folderFor(part);
            QDir().mkpath(folder);
            ++folders;
            for (int i = 0; i < 40 && written < count; ++i, ++written) {
                const QString name = i % 10 == 0 ? QStringLiteral("trace%1.log").arg(i)
                                                 : QStringLiteral("file%1").arg(i) + suffix;
                // 64-bit product: written * 7919 overflows an int past 271,000 files.
                if (!writeFile(folder + u'/' + name, int((qint64(written) * 7919) % 9000) + 10)) {
                    std::fprintf(stderr, "could not write below %s\n", qPrintable(folder));
                    return false;
                }
            }
        }
    }
    std::printf("tree: %d files in %d folders below %s\n", written, folders, qPrintable(root));
    return true;
}

} // namespace vellmir::bench
