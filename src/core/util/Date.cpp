#include "util/Date.h"

#include <QTimeZone>
#include <cmath>
#include <ctime>

namespace vellmir {

namespace {

bool digits(const QString &text, qsizetype from, qsizetype count, int &value)
{
    if (from + count > text.size())
        return false;
    value = 0;
    for (qsizetype i = from; i < from + count; ++i) {
        const QChar c = text.at(i);
        if (c < u'0' || c > u'9')
            return false;
        value = value * 10 + (c.unicode() - u'0');
    }
    return true;
}

// Days since 1970-01-01 of a proleptic Gregorian civil date.
qint64 daysFromCivil(qint64 y, unsigned m, unsigned d)
{
    y -= m <= 2;
    const qint64 era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<qint64>(doe) - 719468;
}

bool validDay(int y, int m, int d)
{
    static const int lengths[] = { 31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31 };
    if (m < 1 || m > 12 || d < 1)
        return false;
    int length = lengths[m - 1];
    if (m == 2 && ((y % 4 == 0 && y % 100 != 0) || y % 400 == 0))
        length = 29;
    return d <= length;
}

// Parses "YYYY-MM-DDTHH:MM:SS" at the start of text into Unix seconds.
bool parseBase(const QString &text, qint64 &unixSeconds)
{
    int y, mo, d, h, mi, s;
    if (text.size() < 19 || !digits(text, 0, 4, y) || text.at(4) != u'-' || !digits(text, 5, 2, mo)
        || text.at(7) != u'-' || !digits(text, 8, 2, d) || (text.at(10) != u'T' && text.at(10) != u't')
        || !digits(text, 11, 2, h) || text.at(13) != u':' || !digits(text, 14, 2, mi) || text.at(16) != u':'
        || !digits(text, 17, 2, s))
        return false;
    if (!validDay(y, mo, d) || h > 23 || mi > 59 || s > 60)
        return false;
    unixSeconds
        = daysFromCivil(y, static_cast<unsigned>(mo), static_cast<unsigned>(d)) * 86400 + h * 3600 + mi * 60 + s;
    return true;
}

} // namespace

Date Date::now()
{
    timespec ts {};
    clock_gettime(CLOCK_REALTIME, &ts);
    return fromUnix(static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9);
}

Date Date::fromDateTime(const QDateTime &dateTime)
{
    return fromUnix(static_cast<double>(dateTime.toMSecsSinceEpoch()) / 1000.0);
}

QDateTime Date::toDateTime() const
{
    return QDateTime::fromMSecsSinceEpoch(static_cast<qint64>(std::llround(toUnix() * 1000.0)), QTimeZone::utc());
}

QString Date::iso8601() const
{
    const auto whole = static_cast<qint64>(std::floor(toUnix()));
    return QDateTime::fromSecsSinceEpoch(whole, QTimeZone::utc()).toString(QStringLiteral("yyyy-MM-ddTHH:mm:ssZ"));
}

std::optional<Date> Date::fromIso8601(const QString &text)
{
    qint64 base = 0;
    if (text.size() != 20 || !parseBase(text, base) || text.at(19) != u'Z')
        return std::nullopt;
    return fromUnix(static_cast<double>(base));
}

std::optional<Date> Date::fromRfc3339(const QString &text)
{
    qint64 base = 0;
    if (!parseBase(text, base))
        return std::nullopt;
    qsizetype pos = 19;
    qint64 nanos = 0;
    if (pos < text.size() && text.at(pos) == u'.') {
        ++pos;
        int count = 0;
        while (pos < text.size() && text.at(pos).isDigit() && text.at(pos).unicode() < 128) {
            if (count == 9)
                return std::nullopt;
            nanos = nanos * 10 + (text.at(pos).unicode() - u'0');
            ++count;
            ++pos;
        }
        if (count == 0)
            return std::nullopt;
        for (int i = count; i < 9; ++i)
            nanos *= 10;
    }
    if (pos >= text.size())
        return std::nullopt;
    qint64 offset = 0;
    const QChar zone = text.at(pos);
    if (zone == u'Z' || zone == u'z') {
        ++pos;
    } else if (zone == u'+' || zone == u'-') {
        int oh, om;
        if (!digits(text, pos + 1, 2, oh) || pos + 3 >= text.size() || text.at(pos + 3) != u':'
            || !digits(text, pos + 4, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        offset = (oh * 3600 + om * 60) * (zone == u'+' ? 1 : -1);
        pos += 6;
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;
    return fromUnix(static_cast<double>(base - offset) + static_cast<double>(nanos) / 1e9);
}

} // namespace vellmir
