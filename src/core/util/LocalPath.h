#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

namespace vellmir {

// File-system names are bytes, and Linux does not require them to be UTF-8. These convert
// between those bytes and QString without loss: valid UTF-8 is decoded as usual, and each byte
// of a malformed sequence becomes one unpaired low surrogate (U+DC80 to U+DCFF) that turns back
// into that byte, so a path read from a folder listing names the same item when it is used
// again. QFile::decodeName would turn such a byte into U+FFFD, which names nothing.
namespace LocalPath {

QString decode(QByteArrayView bytes);
QByteArray encode(const QString &path);

// Whether `path` came from valid UTF-8, so that it can be shown, stored and written into a
// restic pattern as it is.
bool isText(const QString &path);

} // namespace LocalPath

} // namespace vellmir
