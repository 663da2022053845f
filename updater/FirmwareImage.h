#pragma once

#include <QString>
#include <QtGlobal>

struct ImageFile;

/// One application or FPGA configuration image, held in a 2 MiB buffer that mirrors the receiver's flash.
/// Knows files and checksums, nothing of sockets: the programming sequencer reads the buffer,
/// the bank number and `m_MaxFileAdr` after a reader returned 0.
class CFirmwareImage {
public:
    /// Reader results.
    enum Result {
        ReadOk = 0,       ///< file accepted
        FileError = 1,    ///< missing, not openable, or an application file that is neither .hex nor .bin
        ShortRead = 2,    ///< fewer bytes read than the file's size
        Invalid = 3,      ///< size out of range, wrong product ID, bank or configuration number, model not named
        HexFormat = 4,    ///< Intel HEX format error
    };

    static constexpr quint32 BufferSize = 0x200000;    ///< bytes
    static constexpr quint32 AppStart = 0x4000;        ///< position of a .bin file's first byte; CRC starts here
    static constexpr quint32 ChkLocPos = 0x4200;       ///< where the check location is stamped
    static constexpr quint32 ProductIdPos = 0x4204;    ///< product ID inside an application image
    static constexpr quint32 BankPos = 0x420C;         ///< bank byte inside an application image
    static constexpr quint32 HexBase = 0x08000000;     ///< Intel HEX address of position 0

    /// Allocates the buffer and builds the CRC table.
    CFirmwareImage();
    ~CFirmwareImage();
    CFirmwareImage(const CFirmwareImage&) = delete;
    CFirmwareImage& operator=(const CFirmwareImage&) = delete;

    /// Reads an application image (.hex or .bin, suffix in any case); returns a Result.
    [[nodiscard]] int ReadAppFile(const QString& path, quint32 productId, int appNumber);
    /// Reads an FPGA bitstream for configuration `cfgNumber` (1 to 4); returns a Result.
    [[nodiscard]] int ReadCfgFile(const QString& path, quint32 productId, int cfgNumber);
    /// The same from a file already read: the buffer then holds exactly those bytes, checked.
    [[nodiscard]] int ReadApp(const ImageFile& file, quint32 productId, int appNumber);
    [[nodiscard]] int ReadCfg(const ImageFile& file, quint32 productId, int cfgNumber);

    /// The image buffer, BufferSize bytes; position p is flash offset p.
    const quint8* Buffer() const { return m_pBuffer; }
    /// Application images: the bank byte; configuration files: the configuration number.
    quint32 BankNumber() const { return m_BankNumber; }

    /// CRC-32/MPEG-2 over `words` 32-bit little-endian words, each fed most significant byte first.
    quint32 Crc(const quint8* data, quint32 words) const;

    quint32 m_MaxFileAdr = 0;  ///< last image position to program, inclusive

private:
    /// Intel HEX reader; returns a Result and leaves the bank byte in m_BankNumber.
    int ReadHexFile(const ImageFile& file, quint32 productId);
    /// Raw binary reader; returns a Result and leaves the bank byte in m_BankNumber.
    int ReadBinFile(const ImageFile& file, quint32 productId);
    /// Product ID and bank byte checks shared by both application readers; returns a Result.
    int CheckAppHeader(quint32 productId, bool logBank);
    /// True when the check location after `lastPos`, its CRC and one fill byte all lie inside the buffer.
    bool RoomForCrc(quint32 lastPos) const;
    /// Writes the check location and the CRC behind `lastPos`; sets m_MaxFileAdr to the fill byte after them.
    void StampCrc(quint32 lastPos);
    /// Little-endian 32-bit value at buffer position `pos`.
    quint32 Word(quint32 pos) const;
    /// Writes `value` little-endian at buffer position `pos`.
    void SetWord(quint32 pos, quint32 value);

    quint8* m_pBuffer = nullptr;
    quint32 m_BankNumber = 0;
    quint32 m_BufferSize = BufferSize;
    quint32 m_CrcTable[256];
};
