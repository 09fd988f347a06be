#include "kit/Format.h"

#include <QCoreApplication>
#include <QRegularExpression>
#include <cmath>

namespace vellmir {

QString Format::count(qint64 value)
{
    return QString::number(value);
}

QString Format::plural(qint64 value, const QString &word)
{
    return value == 1 ? word : word + u's';
}

QString Format::counted(qint64 value, const QString &word)
{
    return count(value) + u' ' + plural(value, word);
}

QString Format::bytes(qint64 value, const QLocale &locale)
{
    if (value == 0)
        return QCoreApplication::translate("Format", "Zero KB");
    const bool negative = value < 0;
    // The magnitude as a double: exact up to 2^53, and the unsigned detour keeps INT64_MIN safe.
    const double magnitude = negative ? double(0 - quint64(value)) : double(value);
    const QString sign = negative ? locale.negativeSign() : QString();
    if (magnitude < 1000) {
        const qint64 whole = qint64(magnitude);
        return sign + count(whole) + u' '
            + (whole == 1 ? QCoreApplication::translate("Format", "byte")
                          : QCoreApplication::translate("Format", "bytes"));
    }

    static const char *const units[] = { "KB", "MB", "GB", "TB", "PB", "EB", "ZB", "YB" };
    constexpr int unitCount = int(std::size(units));
    int unit = 0;
    double scaled = magnitude / 1000;
    auto digitsFor = [](int u) { return u == 0 ? 0 : (u == 1 ? 1 : 2); };
    auto rounded = [&](double figure, int u) {
        const double factor = std::pow(10.0, digitsFor(u));
        return std::round(figure * factor) / factor;
    };
    while (unit + 1 < unitCount && scaled >= 1000)
        scaled /= 1000, ++unit;
    // 999,999 bytes rounds to 1000 KB: say "1 MB" instead.
    if (unit + 1 < unitCount && rounded(scaled, unit) >= 1000)
        scaled /= 1000, ++unit;

    QString figure = locale.toString(rounded(scaled, unit), 'f', digitsFor(unit));
    if (digitsFor(unit) > 0) {
        const QString point = locale.decimalPoint();
        const qsizetype at = figure.lastIndexOf(point);
        if (at >= 0) {
            qsizetype end = figure.size();
            while (end > at + point.size() && figure.at(end - 1) == locale.zeroDigit().at(0))
                --end;
            if (end == at + point.size())
                end = at;
            figure.truncate(end);
        }
    }
    return sign + figure + u' ' + QLatin1StringView(units[unit]);
}

QString Format::abbreviatedDateFormat(const QLocale &locale)
{
    // Qt has no medium date style: take the long one without its weekday and with short month names.
    QString format = locale.dateFormat(QLocale::LongFormat);
    static const QRegularExpression weekday(QStringLiteral("d{4}[,،]?\\s*|\\s*[,،]?\\s*d{4}"));
    format.remove(weekday);
    static const QRegularExpression fullMonth(QStringLiteral("M{4}"));
    format.replace(fullMonth, QStringLiteral("MMM"));
    return format.trimmed();
}

QString Format::shortTimeFormat(const QLocale &locale)
{
    QString format = locale.timeFormat(QLocale::ShortFormat);
    // A short time has no seconds, but some locales' short format carries them.
    static const QRegularExpression seconds(QStringLiteral("[:.]ss?"));
    format.remove(seconds);
    return format;
}

QString Format::dateTime(Date date, const QLocale &locale)
{
    const QDateTime local = date.toDateTime().toLocalTime();
    return locale.toString(local, abbreviatedDateFormat(locale) + u' ' + shortTimeFormat(locale));
}

QString Format::dollars(double amount, const QLocale &locale)
{
    // The rates and budgets are US dollars in every locale, so the symbol is fixed and only the
    // pattern (symbol place, separators) follows the user's locale. The C locale (LANG=C,
    // C.UTF-8, POSIX) has no currency convention of its own, and Qt's stand-in puts the symbol
    // after the figure; dollars there are written as they are at home.
    const QLocale &pattern
        = locale.language() == QLocale::C ? QLocale(QLocale::English, QLocale::UnitedStates) : locale;
    return pattern.toCurrencyString(amount, QStringLiteral("$"), 2);
}

} // namespace vellmir
