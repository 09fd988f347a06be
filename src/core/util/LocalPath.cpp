#include "util/LocalPath.h"

namespace vellmir::LocalPath {

namespace {

constexpr char16_t kEscapeBase = 0xDC00;

bool isEscape(const QChar *at, const QChar *begin)
{
    const char16_t unit = at->unicode();
    if (unit < 0xDC80 || unit > 0xDCFF)
        return false;
    // A low surrogate after a high one is half of a real character.
    return at == begin || !(at - 1)->isHighSurrogate();
}

// The length of the valid UTF-8 sequence at the start of `bytes`, or 0.
qsizetype sequenceLength(QByteArrayView bytes)
{
    const auto byte = [&bytes](qsizetype i) { return static_cast<unsigned char>(bytes[i]); };
    const auto continues = [&](qsizetype i, unsigned lowest = 0x80, unsigned highest = 0xBF) {
        return i < bytes.size() && byte(i) >= lowest && byte(i) <= highest;
    };
    const unsigned first = byte(0);
    if (first < 0x80)
        return 1;
    if (first >= 0xC2 && first <= 0xDF)
        return continues(1) ? 2 : 0;
    if (first >= 0xE0 && first <= 0xEF)
        return continues(1, first == 0xE0 ? 0xA0 : 0x80, first == 0xED ? 0x9F : 0xBF) && continues(2) ? 3 : 0;
    if (first >= 0xF0 && first <= 0xF4)
        return continues(1, first == 0xF0 ? 0x90 : 0x80, first == 0xF4 ? 0x8F : 0xBF) && continues(2) && continues(3)
            ? 4
            : 0;
    return 0;
}

} // namespace

QString decode(QByteArrayView bytes)
{
    QString result;
    result.reserve(bytes.size());
    qsizetype start = 0; // of the valid run not yet decoded
    qsizetype i = 0;
    while (i < bytes.size()) {
        const qsizetype length = sequenceLength(bytes.sliced(i));
        if (length > 0) {
            i += length;
            continue;
        }
        result.append(QString::fromUtf8(bytes.sliced(start, i - start)));
        result.append(QChar(char16_t(kEscapeBase + static_cast<unsigned char>(bytes[i]))));
        start = ++i;
    }
    result.append(QString::fromUtf8(bytes.sliced(start)));
    return result;
}

QByteArray encode(const QString &path)
{
    QByteArray result;
    result.reserve(path.size());
    const QChar *begin = path.constData();
    const QChar *run = begin;
    const QChar *end = begin + path.size();
    for (const QChar *at = begin; at != end; ++at) {
        if (!isEscape(at, begin))
            continue;
        result.append(QStringView(run, at).toUtf8());
        result.append(char(at->unicode() - kEscapeBase));
        run = at + 1;
    }
    result.append(QStringView(run, end).toUtf8());
    return result;
}

bool isText(const QString &path)
{
    const QChar *begin = path.constData();
    for (const QChar *at = begin; at != begin + path.size(); ++at) {
        if (isEscape(at, begin))
            return false;
    }
    return true;
}

} // namespace vellmir::LocalPath
