#pragma once

// Small helpers shared by the benchmarks: the median of repeated timings, and writing the
// files of a generated tree.
#include <QElapsedTimer>
#include <QFile>
#include <QList>

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

} // namespace vellmir::bench
