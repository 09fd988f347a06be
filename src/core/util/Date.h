#pragma once

#include <QDateTime>
#include <QString>
#include <compare>
#include <optional>

namespace vellmir {

// A point in time as seconds since 2001-01-01 00:00:00 UTC, the form our JSON files store.
// A double keeps the value exact through a JSON round trip.
struct Date {
    double seconds = 0;

    static constexpr double unixOffset = 978307200.0; // 2001-01-01 in Unix seconds

    static Date now();
    // 0001-01-01 00:00:00 UTC: stands for a time that could not be read, so it sorts before every real one.
    static Date distantPast() { return Date { -63114076800.0 }; }
    static Date fromUnix(double unixSeconds) { return Date { unixSeconds - unixOffset }; }
    static Date fromDateTime(const QDateTime &dateTime);

    double toUnix() const { return seconds + unixOffset; }
    QDateTime toDateTime() const;

    // ISO 8601 in UTC with whole seconds, e.g. "2026-01-02T03:04:05Z" (fractions are dropped).
    QString iso8601() const;
    // Reads exactly the form iso8601() writes; anything else (fractions, offsets) is nullopt.
    static std::optional<Date> fromIso8601(const QString &text);
    // Reads RFC 3339 times as restic prints them: 0 to 9 fractional digits and "Z" or any
    // "+hh:mm"/"-hh:mm" offset.
    static std::optional<Date> fromRfc3339(const QString &text);

    Date addingSeconds(double delta) const { return Date { seconds + delta }; }
    double secondsSince(Date other) const { return seconds - other.seconds; }

    friend bool operator==(const Date &, const Date &) = default;
    friend auto operator<=>(const Date &, const Date &) = default;
};

} // namespace vellmir
