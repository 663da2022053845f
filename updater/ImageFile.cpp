#include "ImageFile.h"

#include <QCryptographicHash>
#include <QFile>
#include <QFileInfo>

ImageFile ImageFile::load(const QString& path)
{
    ImageFile f;
    const QFileInfo info(path);
    f.path = info.absoluteFilePath();
    f.exists = info.exists();
    if (!f.exists)
        return f;
    f.size = info.size();
    QFile file(path);
    f.opened = file.open(QIODevice::ReadOnly);
    // No more than the stated size: a file that grows while it is read keeps the image it had.
    if (f.opened && f.size > 0)
        f.bytes = file.read(f.size);
    return f;
}

FileFacts ImageFile::facts() const
{
    return {path, bytes.size(), QString::fromLatin1(QCryptographicHash::hash(bytes, QCryptographicHash::Sha256).toHex())};
}
