#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QString>

#include "SimModel.h"

/// Image files and discovery records written out byte by byte, with the emulator's own knowledge
/// of the formats and never through the program's readers or datagram code: what the tests,
/// benchmarks, scripts (through `quillsim --make-images`) and fuzz seeds feed the program.
namespace Fixtures {

constexpr quint32 Qusd = SimModels::Quillrad.productId;  ///< "QUSD"
constexpr quint32 Quiq = SimModels::Quillix.productId;    ///< "QUIQ"
constexpr quint32 AppStart = 0x4000;                      ///< first image position a receiver programs
constexpr quint32 HexBase = 0x08000000;                   ///< address of image position 0 in an Intel HEX file

/// A raw application image (".bin") of `size` bytes: product ID at 0x204, version at 0x208 (16-bit
/// little-endian, hundredths), bank byte at 0x20C. Version -1 is one above what a receiver of
/// SimControlConfig's defaults reports for the bank (bank 0: 124, any other: 123), so that a run with
/// the defaults shows as a step up; 0xFFFF is what an image without a version holds there.
QByteArray appImage(int size, quint32 productId, quint8 bank, int version = -1);
/// One Intel HEX record line: count, address, type, `data` and checksum, ended by `eol`.
QByteArray hexRecord(quint8 type, quint16 address, const QByteArray& data = {}, const char* eol = "\n");
/// Intel HEX text that puts `data` at image position `position` on (an application file's first
/// byte belongs at AppStart): a type-4 record at each 64 KiB segment, `perRecord` data bytes per
/// record (records stop at a segment's end), lines ended by `eol`, and the end-of-file record if `eof`.
QByteArray hexFile(const QByteArray& data, quint32 position = AppStart, int perRecord = 16, const char* eol = "\n",
                   bool eof = true);
/// The design name of `model`'s configuration `number` (1 to 4) carrying `version` in its UserID's low
/// byte, as the vendor's tools write it: "Quillix_top_01.ncd;UserID=0x00000002". Version -1 is one above
/// what a receiver of SimControlConfig's defaults reports for the configuration (`number` + 1).
QByteArray designName(const SimModel& model, int number, int version = -1);
/// A bitstream of `size` bytes with the given design-name field, key character and field length
/// (-1: the field's own length).
QByteArray bitFile(const QByteArray& field, int size = 4096, char key = 'a', int length = -1);
/// An 862-byte discovery record with every byte distinct from its neighbours, then the given model,
/// operation mode, Length, address and control port written over the filler.
QByteArray record(const QByteArray& model, quint8 opMode, quint16 length, const QHostAddress& ip, quint16 port);
/// The same in I/Q mode at 198.18.0.10, port 50000, with a serial number (NUL-padded to its field)
/// and a status byte (bits 0 and 1: in use).
QByteArray record(const QByteArray& model, const QByteArray& serial, quint8 status, quint16 length = 862);
/// One control-port message: a 16-bit word of total length (13 bits) and `type` (3 bits), then `body`.
QByteArray controlMessage(quint8 type, const QByteArray& body);
/// Writes `content` to `path`; false on any error.
bool writeFile(const QString& path, const QByteArray& content);
/// Writes a valid set for every model of SimModels into `dir`/<model>/: app0 and app1 as .bin and
/// .hex (`appBytes` each) carrying `appVersion`, and four configuration bitstreams carrying
/// `cfgVersion` (-1: appImage's and designName's defaults); false on any error.
bool writeImageSet(const QString& dir, int appBytes, int appVersion = -1, int cfgVersion = -1);
/// Writes the fuzzers' seed inputs to `dir`/hex, bin, bit, reply_table, tcp_framer and record, in the input
/// layouts of fuzz/*.cpp; false on any error.
bool writeFuzzSeeds(const QString& dir);

} // namespace Fixtures
