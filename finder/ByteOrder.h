#pragma once

#include <QtGlobal>

/// Little-endian fields in byte buffers: every datagram, control message and image word of the
/// receivers is little-endian.
namespace LE {

inline quint16 u16(const quint8* d, int off) { return quint16(d[off] | (d[off + 1] << 8)); }
inline quint32 u32(const quint8* d, int off)
{
    return quint32(d[off]) | (quint32(d[off + 1]) << 8) | (quint32(d[off + 2]) << 16) | (quint32(d[off + 3]) << 24);
}
inline void setU16(quint8* d, int off, quint16 v)
{
    d[off] = quint8(v);
    d[off + 1] = quint8(v >> 8);
}
inline void setU32(quint8* d, int off, quint32 v)
{
    for (int i = 0; i < 4; ++i)
        d[off + i] = quint8(v >> (8 * i));
}

} // namespace LE
