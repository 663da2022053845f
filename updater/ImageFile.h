#pragma once

#include <QByteArray>
#include <QString>

/// What names the bytes a run programs from, in the update record.
struct FileFacts {
    QString path;        ///< absolute; empty when nothing was read
    qint64 size = 0;     ///< bytes
    QString sha256;      ///< lower-case hex
};

/// One image file as read once: the bytes a reader checks, that a run sends and that the record
/// hashes. Reading the path again could meet other bytes (a build that rewrites the file, a user
/// who saves over it), so every step after the read works from these.
struct ImageFile {
    QString path;         ///< absolute
    bool exists = false;
    bool opened = false;  ///< it could be opened for reading
    qint64 size = 0;      ///< bytes the file system stated before the read
    QByteArray bytes;     ///< at most `size`; fewer when the read came short

    /// Reads `path` whole, once.
    [[nodiscard]] static ImageFile load(const QString& path);
    /// Path, size and SHA-256 of the bytes read.
    FileFacts facts() const;
};
