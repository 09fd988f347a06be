#pragma once

#include "util/Date.h"

#include <QLocale>
#include <QString>

namespace vellmir {

// How the views write numbers, byte counts, dates and money, so every view says them alike.
// Each takes the locale to use; views pass the user's (the default QLocale()), tests a fixed one.
struct Format {
    // A count as a plain decimal without digit grouping, whatever the locale: "1234".
    static QString count(qint64 value);
    // `word` with "s" added unless `value` is exactly 1: plural(0, "file") is "files".
    static QString plural(qint64 value, const QString &word);
    // count() and plural() with a space between: "1 folder", "0 folders".
    static QString counted(qint64 value, const QString &word);

    // A byte count the way file managers show file sizes: decimal units (1 KB = 1000 bytes)
    // from bytes to YB, the unit chosen so the figure stays below 1000, with no fraction for
    // bytes and KB, one digit for MB and two above, trailing zeros dropped ("1 MB", "1.5 MB",
    // "1.23 GB"). Zero reads "Zero KB" and a single byte "1 byte". Negative counts keep their sign.
    static QString bytes(qint64 value, const QLocale &locale = QLocale());

    // Every time the window shows (backups, snapshots, checks, restores, measurements), in local
    // time: the locale's abbreviated date and short time ("Jan 2, 2026 3:04 PM", "2. Jan. 2026 15:04").
    static QString dateTime(Date date, const QLocale &locale = QLocale());
    // The formats behind it, for tests and tables.
    static QString abbreviatedDateFormat(const QLocale &locale);
    static QString shortTimeFormat(const QLocale &locale);

    // An amount of US dollars with cents in the locale's currency pattern: "$1,234.50", "1.234,50 $".
    static QString dollars(double amount, const QLocale &locale = QLocale());
};

} // namespace vellmir
