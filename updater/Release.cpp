#include "Release.h"

#include "ProgItem.h"
#include "ReceiverModel.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

bool CRelease::Load(const QString& path, QStringList* problems)
{
    m_Images.clear();
    QStringList found;
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        *problems << QStringLiteral("%1: %2").arg(path, f.errorString());
        return false;
    }
    QJsonParseError e;
    const QJsonDocument doc = QJsonDocument::fromJson(f.readAll(), &e);
    if (e.error != QJsonParseError::NoError || !doc.isObject()) {
        *problems << QStringLiteral("%1: not a JSON object (%2)").arg(path, e.error ? e.errorString() : QStringLiteral("another value"));
        return false;
    }
    const QJsonObject o = doc.object();
    m_Name = o.value(QLatin1String("release")).toString();
    if (m_Name.trimmed().isEmpty())
        found << QStringLiteral("%1: \"release\" names no release").arg(path);
    const QJsonArray images = o.value(QLatin1String("images")).toArray();
    if (images.isEmpty())
        found << QStringLiteral("%1: \"images\" lists no image").arg(path);
    const QDir base = QFileInfo(path).absoluteDir();
    for (int i = 0; i < images.size(); ++i) {
        const QJsonObject j = images[i].toObject();
        const QString where = QStringLiteral("%1: images[%2]").arg(path).arg(i);
        Image image;
        const QString modelName = j.value(QLatin1String("model")).toString();
        const QString itemName = j.value(QLatin1String("item")).toString();
        image.model = Models::byName(modelName);
        image.item = ProgItem::byName(itemName);
        image.version = j.value(QLatin1String("version")).toString();
        const QString file = j.value(QLatin1String("file")).toString();
        const QString sha256 = j.value(QLatin1String("sha256")).toString().toLower();
        if (!image.model)
            found << QStringLiteral("%1: unknown model \"%2\" (known: %3)").arg(where, modelName, Models::names(QStringLiteral(", ")));
        if (image.item < 0)
            found << QStringLiteral("%1: unknown item \"%2\"").arg(where, itemName);
        if (image.version.trimmed().isEmpty())
            found << QStringLiteral("%1: no version").arg(where);
        for (const Image& earlier : m_Images)
            if (image.model && earlier.model && *earlier.model == *image.model && earlier.item == image.item)
                found << QStringLiteral("%1: %2 %3 appears twice").arg(where, modelName, itemName);
        if (file.isEmpty()) {
            found << QStringLiteral("%1: no file").arg(where);
        } else if (image.model && image.item >= 0) {
            const ImageFile read = ImageFile::load(base.filePath(file));
            image.image = std::make_unique<CFirmwareImage>();
            const int result = ProgItem::read(*image.image, read, image.model->productId, image.item);
            image.file = read.facts();
            if (result != CFirmwareImage::ReadOk)
                found << QStringLiteral("%1: %2 is no %3 image for a %4: %5")
                             .arg(where, read.path, itemName, modelName, ProgItem::resultText(result));
            else if (!sha256.isEmpty() && sha256 != image.file.sha256)
                found << QStringLiteral("%1: %2 has SHA-256 %3, not the %4 the release states")
                             .arg(where, read.path, image.file.sha256, sha256);
        }
        m_Images.push_back(std::move(image));
    }
    *problems << found;
    return found.isEmpty();
}

QVector<const CRelease::Image*> CRelease::ImagesFor(const ReceiverModel& model) const
{
    QVector<const Image*> list;
    for (const Image& i : m_Images)
        if (i.model && *i.model == model)
            list << &i;
    return list;
}
