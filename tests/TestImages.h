#pragma once

#include <QByteArray>
#include <QFile>
#include <QString>

/// Image files written out by hand for the tests, never through the readers' own code.
namespace TestImages {

constexpr quint32 Qusd = 0x44535551;  ///< product ID of Quillrad, "QUSD"
constexpr quint32 Quiq = 0x51495551;  ///< product ID of Quillix, "QUIQ"

/// A raw application file (".bin") of `size` bytes: product ID at file offset 0x204, bank byte at 0x20C.
inline QByteArray appImage(int size, quint32 productId, quint8 bank)
{
    QByteArray a(size, Qt::Uninitialized);
    for (int i = 0; i < size; ++i)
        a[i] = char(i * 7 + 3);
    for (int i = 0; i < 4 && 0x204 + i < size; ++i)
        a[0x204 + i] = char(productId >> (8 * i));
    if (0x20C < size)
        a[0x20C] = char(bank);
    return a;
}

/// A bitstream of `size` bytes with the given design-name field, key character and field length.
inline QByteArray bitFile(const QByteArray& field, int size = 4096, char key = 'a', int length = -1)
{
    QByteArray f = QByteArray::fromHex("00090ff00ff00ff00ff0000001");
    f += key;
    const int n = length < 0 ? field.size() : length;
    f += char(n >> 8);
    f += char(n & 0xFF);
    f += field;
    while (f.size() < size)
        f += char(0xA5);
    return f.left(size);
}

inline bool writeFile(const QString& path, const QByteArray& content)
{
    QFile f(path);
    return f.open(QIODevice::WriteOnly) && f.write(content) == content.size();
}

} // namespace TestImages
