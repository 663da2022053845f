#pragma once

#include "ByteOrder.h"

#include <QtGlobal>
#include <QString>

/// Byte layout of the discovery request, discovery record and Set datagram.
/// Everything works on plain byte buffers; the record is never decoded into a struct,
/// so bytes we do not interpret travel back to the receiver untouched.
namespace Disc {

constexpr int HeaderSize = 56;   ///< bytes: discovery request and the header of every reply
constexpr int RecordSize = 862;  ///< bytes: a whole discovery record
constexpr int MaxRows = 32;      ///< replies the finder keeps per cycle
constexpr int CommandLineRows = 4096;  ///< receivers quillctl lists per cycle: a whole fleet on one network

constexpr quint16 ReceiverPort = 48321;  ///< receivers listen here
constexpr quint16 FinderPort = 48322;    ///< the finder sends from and listens on this port

constexpr quint8 Key0 = 0x5A;
constexpr quint8 Key1 = 0xA5;
constexpr quint8 MsgTypeRequest = 0;
constexpr quint8 MsgTypeSet = 2;

/// A zero-terminated ISO 8859-1 text field: offset and width including the terminator.
struct TextField {
    int offset;  ///< bytes from the start of the datagram
    int width;   ///< bytes, terminator included
};

// Header
constexpr int OffLength = 0;     ///< u16 LE
constexpr int OffKey = 2;        ///< two marker bytes
constexpr int OffMsgType = 4;    ///< u8
inline constexpr TextField ModelName{5, 16};
inline constexpr TextField SerialNum{21, 16};
constexpr int OffIPAdr = 37;     ///< u32 LE, MSB is the first dotted octet
constexpr int OffTcpPort = 53;   ///< u16 LE

// Record
constexpr int OffMacAdr = 56;    ///< 6 bytes, least significant first
constexpr int MacLength = 6;
constexpr int OffHwVersion = 62;    ///< u16 LE, hundredths
constexpr int OffFwVersion = 64;    ///< u16 LE, hundredths
constexpr int OffBootVersion = 66;  ///< u16 LE, hundredths
constexpr int OffNetFlags = 71;     ///< bit 0 DHCP, bit 1 alternate UDP destination
constexpr quint8 NetFlagDhcp = 0x01;
constexpr quint8 NetFlagAltUdp = 0x02;
constexpr int OffSubnetMask = 72;   ///< u32 LE address
constexpr int OffGatewayAdr = 76;   ///< u32 LE address
constexpr int OffAltUdpAdr = 80;    ///< u32 LE address
constexpr int OffAltUdpPort = 84;   ///< u16 LE
constexpr int OffStatus = 86;       ///< bits 0 and 1: in use; read only
constexpr quint8 StatusInUseMask = 0x03;
constexpr int OffOpMode = 87;       ///< 0 I/Q, 1 Quill, 2 Aux
inline constexpr TextField SdrDesc{88, 151};
inline constexpr TextField SdrDescUrl{239, 151};
inline constexpr TextField SdrServerUrl{390, 81};
inline constexpr TextField ListServerUrl{471, 81};
inline constexpr TextField ListServerActionPath{552, 81};
inline constexpr TextField RxPw{633, 17};
inline constexpr TextField TxPw{650, 17};
inline constexpr TextField Lat{667, 33};
inline constexpr TextField Lon{700, 33};
constexpr int OffTimeout = 733;       ///< u8, minutes
constexpr int OffUartMode = 734;      ///< u8
constexpr int OffRFPortMin = 735;     ///< u32 LE, Hz
constexpr int OffRFPortMax = 739;     ///< u32 LE, Hz
constexpr int OffAudioMonitor = 743;  ///< u8
constexpr int OffExtRef = 744;        ///< u8

constexpr quint8 OpModeIQ = 0;

using LE::setU16;
using LE::setU32;
using LE::u16;
using LE::u32;

/// Fills a 56-byte discovery request for `model`: zeros, Length 56, Key, the name without terminator.
void buildRequest(quint8* request, const char* model);
/// Writes another model name over a built request, with its terminating zero.
void setRequestModel(quint8* request, const char* model);

/// True when the buffer carries the two key bytes; a buffer shorter than 4 bytes never does.
bool hasKey(const quint8* d, int size);
/// True when ModelName is exactly the name of a model in the model table.
bool isKnownModel(const quint8* header);
/// True when the in-use bits of Status are not both zero.
bool isInUse(const quint8* record);

/// Text up to the first zero byte, never past the field's end.
QString text(const quint8* d, TextField f);
/// Raw bytes of a text field up to its first zero byte (bounded by the field).
int textLength(const quint8* d, TextField f);
/// Writes at most width-1 ISO 8859-1 characters and one zero byte; the rest of the field is kept.
void setText(quint8* d, TextField f, const QString& s);
/// True when both fields hold the same text (compared up to their terminators).
bool sameText(const quint8* a, const quint8* b, TextField f);

/// Dotted form of the address field at `off`: byte off+3 first.
QString addressText(const quint8* d, int off);
/// Colon form of MacAdr, byte 61 first, lower-case hex.
QString macText(const quint8* record);
/// A version in hundredths as shown to the user: 123 -> "1.23", 100 -> "1", 7 -> "0.07".
QString versionText(quint16 hundredths);

/// Number of bytes a Set datagram made from `record` sends: its Length, at most RecordSize.
int setLength(const quint8* record);
/// Turns a record into a Set datagram in place and returns the number of bytes to send.
int makeSet(quint8* record);

} // namespace Disc
