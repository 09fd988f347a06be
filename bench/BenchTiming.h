#pragma once

// Small helpers shared by the benchmarks: timing a baseline and its subjects round by round,
// medians and spreads, writing the files of a generated tree, and a fresh restic repository.
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QRandomGenerator>
#include <QStandardPaths>
#include <QString>
#include <QStringList>

#include <cstdio>

#include <algorithm>
#include <functional>

namespace vellmir::bench {

inline double median(QList<double> values)
{
    std::sort(values.begin(), values.end());
    return values.at(values.size() / 2);
}

// Several pieces of work timed in turn within each round, baseline and subjects alike, so that
// all of them see the same machine load; a busy moment widens the spread instead of tilting a
// ratio, and ratios are taken within a round. Figures are wall times in milliseconds.
class Alternating {
public:
    // Adds a piece of work; returns its index for the figures below.
    int add(const char *name, std::function<void()> work)
    {
        m_series.append({ name, std::move(work), {}, {}, {} });
        return int(m_series.size() - 1);
    }
    // Adds a piece of work followed by `after`, untimed: teardown its figure leaves out.
    int add(const char *name, std::function<void()> work, std::function<void()> after)
    {
        m_series.append({ name, std::move(work), std::move(after), {}, {} });
        return int(m_series.size() - 1);
    }
    // Adds a piece of work that measures itself: it returns the milliseconds its figure counts,
    // for work whose wall time includes setup or teardown that is not what is measured.
    int addMeasured(const char *name, std::function<double()> work)
    {
        m_series.append({ name, {}, {}, std::move(work), {} });
        return int(m_series.size() - 1);
    }

    // Every other round runs the pieces in reverse order, so that none of them always goes first
    // (cold caches) or always follows the same neighbour (its leftovers).
    void run(int rounds)
    {
        for (int round = 0; round < rounds; ++round) {
            const bool reversed = round % 2 == 1;
            for (qsizetype turn = 0; turn < m_series.size(); ++turn)
                runOnce(m_series[reversed ? m_series.size() - 1 - turn : turn]);
        }
    }

    double medianMs(int index) const { return median(m_series.at(index).ms); }

    // One line for a piece of work: its median and the range of its rounds.
    void printTime(int index, const char *details = "") const
    {
        const Series &series = m_series.at(index);
        const auto [low, high] = std::minmax_element(series.ms.cbegin(), series.ms.cend());
        std::printf("%-48s median %9.2f ms  (%.2f-%.2f)%s%s\n", series.name, median(series.ms), *low, *high,
            *details ? "  " : "", details);
    }

    // subject / baseline: the median of the rounds' own ratios (each round's pair ran under the same
    // load), their range, and the goal beside it (a bound the ratio should stay at or under; 0 for none).
    double printRatio(int subject, int baseline, double target) const
    {
        const Series &a = m_series.at(subject);
        const Series &b = m_series.at(baseline);
        QList<double> ratios;
        for (qsizetype i = 0; i < a.ms.size(); ++i)
            ratios.append(a.ms.at(i) / b.ms.at(i));
        const auto [low, high] = std::minmax_element(ratios.cbegin(), ratios.cend());
        const double ratio = median(ratios);
        const QString label = QStringLiteral("%1 / %2").arg(QString::fromUtf8(a.name), QString::fromUtf8(b.name));
        std::printf("ratio %-60s %6.3fx  (rounds %.3f-%.3fx, median of %d)", qPrintable(label), ratio, *low, *high,
            int(ratios.size()));
        if (target > 0)
            std::printf("  goal <= %.2fx%s\n", target, ratio <= target ? "" : "  MISSED");
        else
            std::printf("  no goal\n");
        return ratio;
    }

private:
    struct Series {
        const char *name;
        std::function<void()> work;
        std::function<void()> after;
        std::function<double()> measured;
        QList<double> ms;
    };

    static void runOnce(Series &series)
    {
        if (series.measured) {
            series.ms.append(series.measured());
            return;
        }
        QElapsedTimer timer;
        timer.start();
        series.work();
        series.ms.append(double(timer.nsecsElapsed()) / 1e6);
        if (series.after)
            series.after();
    }

    QList<Series> m_series;
};

// A file of `size` random bytes: data that neither compresses nor deduplicates, as most of what
// people back up is once stored.
inline bool writeFile(const QString &path, int size)
{
    QByteArray bytes((size + 3) / 4 * 4, Qt::Uninitialized);
    QRandomGenerator::global()->fillRange(reinterpret_cast<quint32 *>(bytes.data()), bytes.size() / 4);
    bytes.truncate(size);
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == size;
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
                const QString name
                    = i % 10 == 0 ? QStringLiteral("trace%1.log").arg(i) : QStringLiteral("file%1").arg(i) + suffix;
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

// This environment with HOME and the XDG folders moved below `root`: a private home for the app.
inline QProcessEnvironment homeEnvironment(const QString &root)
{
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("HOME"), root);
    environment.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/.local/share"));
    environment.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/.config"));
    environment.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/.cache"));
    return environment;
}

// The restic on the PATH, or an empty string after saying it is missing.
inline QString findRestic()
{
    const QString restic = QStandardPaths::findExecutable(QStringLiteral("restic"));
    if (restic.isEmpty())
        std::fprintf(stderr, "restic is missing\n");
    return restic;
}

// Runs `restic init` for a new repository at `path`; false, after saying why, when it fails.
inline bool initRepository(const QString &restic, const QString &path, const QString &password)
{
    QProcess init;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QStringLiteral("RESTIC_PASSWORD"), password);
    init.setProcessEnvironment(environment);
    init.start(restic, { QStringLiteral("init"), QStringLiteral("--repo"), path });
    if (init.waitForFinished(-1) && init.exitCode() == 0)
        return true;
    std::fprintf(stderr, "restic init failed: %s\n", init.readAllStandardError().constData());
    return false;
}

} // namespace vellmir::bench
