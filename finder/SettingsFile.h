#pragma once

#include "RecordFields.h"

#include <QByteArray>
#include <QJsonObject>
#include <QMap>
#include <QString>
#include <QStringList>
#include <QVector>

/// Receivers' settings as a JSON document, and the plan that brings one receiver to what a document
/// wants. The document:
///   {"defaults": {KEY: VALUE, ...}, "receivers": {SERIAL: {KEY: VALUE, ...}, ...}}
/// with keys as `set` takes them and values as `show --json` prints them. Plain data and functions:
/// nothing here sends or confirms.
namespace SettingsFile {

/// Wanted values by field, each as `set` takes it after FIELD=.
using Wanted = QMap<const RecordFields::Field*, QString>;

/// A document read and checked.
struct Document {
    Wanted defaults;                  ///< for every receiver; a field its model lacks is left out for it
    QMap<QString, Wanted> receivers;  ///< by serial number, as the file writes it
};

/// One setting to change.
struct Change {
    const RecordFields::Field* field;
    QString now;     ///< as the receiver reports it, a set secret masked unless asked for
    QString wanted;  ///< likewise
};

/// What one receiver needs.
struct Plan {
    QByteArray target;       ///< the reported record with only the changed fields written; RecordSize bytes
    QVector<Change> changes; ///< in the field table's order; none: the receiver is up to date
    QStringList problems;    ///< values its model does not take; any: send nothing
    QString networkProblem;  ///< why a changed address, mask or gateway cannot work with the rest; empty when fine
};

/// True for a field a Set can change and the record's model has.
bool settable(const RecordFields::Field& f, const quint8* record);
/// The record's settable fields, keys and values as `show --json` prints them; set secrets masked
/// unless `showSecrets`.
QJsonObject exportRecord(const quint8* record, bool showSecrets = false);
/// Reads a settings document into `doc`; false with one line per problem, every one found, in `problems`.
[[nodiscard]] bool parse(const QByteArray& bytes, Document* doc, QStringList* problems);
/// The plan for the receiver that reported `record`: `defaults` overridden by its `own` entry, values
/// equal to the reported ones left out, a secret given as RecordFields::Masked left as it is.
Plan plan(const quint8* record, const Wanted& defaults, const Wanted& own, bool showSecrets = false);

} // namespace SettingsFile
