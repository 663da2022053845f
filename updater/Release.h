#pragma once

#include "FirmwareImage.h"
#include "ImageFile.h"

#include <QString>
#include <QStringList>
#include <QVector>

#include <memory>
#include <vector>

struct ReceiverModel;

/// A release: the images a fleet should run, each with the version its item must report once
/// programmed. Read from a JSON file:
///   {"release": "2026-12",
///    "images": [{"model": "Quillix", "item": "app0", "file": "quillix/app-3.06.hex", "version": "3.06",
///                "sha256": "9b1f..."}, ...]}
/// `file` is relative to the release file; `sha256` is optional and is the file's as stored. Every
/// image is read, checked for its model and item and hashed once, when the release is loaded.
class CRelease {
public:
    struct Image {
        const ReceiverModel* model = nullptr;
        int item = -1;    ///< ProgItem number
        QString version;  ///< as the receiver must report it afterwards, compared as text
        FileFacts file;   ///< of the bytes read and checked
        std::unique_ptr<CFirmwareImage> image;  ///< checked for the model and the item
    };

    /// Reads the release at `path` and every image it names. False with one fact per problem in
    /// `problems` when the release cannot be used as a whole.
    [[nodiscard]] bool Load(const QString& path, QStringList* problems);
    /// The release's name.
    const QString& Name() const { return m_Name; }
    /// The images of `model`, in the release file's order.
    QVector<const Image*> ImagesFor(const ReceiverModel& model) const;

private:
    QString m_Name;
    std::vector<Image> m_Images;
};
