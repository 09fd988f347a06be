#pragma once

#include <QString>
#include <optional>

namespace vellmir {

// A Backblaze B2 repository string is "b2:" + bucket + ":" + folder. The destination editor
// shows bucket and folder as two fields; these pure text operations convert between the two
// shapes. None of them fails.
namespace B2Address {

struct Components {
    QString bucket;
    QString folder;
    friend bool operator==(const Components &, const Components &) = default;
};

// Bucket and folder of a B2 repository string, or nullopt when the text is not one. Only the
// first two ":" split; the folder keeps any further ":".
std::optional<Components> components(const QString &repository);

// "b2:<bucket>:<folder>" with the bucket stripped of every ":" and whitespace character and the
// folder stripped of line breaks and trimmed of horizontal whitespace at both ends.
QString compose(const QString &bucket, const QString &folder);

// The repository string after the user typed (or pasted) a bucket: a whole pasted B2 address
// is taken as it stands, otherwise the current folder is kept ("restic" when there is none).
QString repository(const QString &settingBucket, const QString &current);

} // namespace B2Address

} // namespace vellmir
