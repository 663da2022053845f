#pragma once

#include "DiscoveryDatagram.h"

#include <QJsonValue>
#include <QString>
#include <QVector>

/// Every field of a discovery record that a person sees, named as the settings dialog shows it,
/// with the dialog's conversions and limits for the ones it edits. The settings dialog and quillctl
/// both take their limits, choices and model rules from here.
namespace RecordFields {

constexpr uint MaxPort = 65535;        ///< largest TCP or UDP port
constexpr int MaxMinutes = 255;        ///< largest connection time limit, minutes; 0 is no limit
constexpr double MaxMHz = 56.0;        ///< largest RF range value, MHz; the smallest is 0
constexpr int MHzDecimals = 3;         ///< RF range resolution: decimals of a MHz
constexpr double HzPerMHz = 1000000.0;
/// A set secret as printed: a fixed width, so the mask does not tell how long the secret is.
inline constexpr char Masked[] = "********";

/// How a field's bytes read and what the dialog lets a person type into it.
enum class Kind { Text, Address, Port, Flag, Choice, Minutes, RfMHz, Version, Mac, InUse };

/// One record field.
struct Field {
    const char* name;       ///< as the settings dialog (or the main window's list) shows it
    Kind kind;
    int offset;             ///< bytes from the start of the record
    int width;              ///< Text: bytes with the terminator; Flag: the bit
    const char* const* choices = nullptr;  ///< Choice: the dialog's texts, by stored value
    int choiceCount = 0;
    bool editable = true;   ///< the settings dialog edits it
    bool secret = false;    ///< printed masked unless asked for

    /// Text: the most characters it holds, its terminator's byte left out.
    int maxChars() const { return width - 1; }
    /// Text: the field as the datagram layout describes it.
    Disc::TextField textField() const { return {offset, width}; }
};

/// The fields in the dialog's order, read-only ones first.
const QVector<Field>& all();
/// The field whose name matches `key` ignoring case, spaces and punctuation, or nullptr.
const Field* find(const QString& key);
/// The field named exactly `name`, for code that binds to a field; a name the table lacks is a
/// programming error and ends the program.
const Field& named(const char* name);

/// True when the record's model has the RF range fields; a record of no known model is taken to have them.
bool hasRfRange(const quint8* record);
/// False for a field the record's model does not have (the RF range on a model without one).
bool applies(const Field& f, const quint8* record);
/// The field as text, as the dialog shows it; a set secret as "********" unless `showSecrets`.
QString text(const Field& f, const quint8* record, bool showSecrets = false);
/// The field as a JSON value: text, number or boolean; a set secret masked as by text().
QJsonValue json(const Field& f, const quint8* record, bool showSecrets = false);
/// Writes `value` into the record with the dialog's conversion; false, with `error` naming the field
/// and its limit, for a value the dialog would not take.
bool apply(const Field& f, const QString& value, quint8* record, QString* error);
/// True when both records hold the same value in this field.
bool same(const Field& f, const quint8* a, const quint8* b);
/// Why the record's address, subnet mask and gateway cannot work together, or an empty string.
QString networkProblem(const quint8* record);

} // namespace RecordFields
