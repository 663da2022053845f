#pragma once

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class CSdrInterface;
class CDiscoveryCycle;

/// Exit codes of every command.
namespace Exit {
constexpr int Ok = 0;        ///< done
constexpr int NotFound = 1;  ///< receiver not found or not answering
constexpr int BadInput = 2;  ///< bad arguments, values or files; nothing was sent
constexpr int Failed = 3;    ///< programming or confirmation failed
constexpr int Interrupted = 130;  ///< Ctrl-C before anything was programmed, as a shell reports SIGINT
} // namespace Exit

/// Printing: results to stdout, messages to stderr.
namespace Out {

/// Writes one line to stdout.
void line(const QString& s);
/// Writes "quillctl: " and one line to stderr.
void error(const QString& s);
/// Columns padded to their widest cell, headers first.
void table(const QStringList& headers, const QVector<QStringList>& rows);
/// Writes a JSON document (object or array) to stdout, indented.
void json(const QJsonValue& v);

/// Every field of a finder row under the settings dialog's names, passwords masked unless `showSecrets`;
/// a receiver of no known model has only its header's fields.
QJsonObject receiverJson(const CDiscoveryCycle& f, int row, bool showSecrets = false);
/// The row as the list shows it: model, serial, address, port, in use, MAC, firmware, operation mode.
QStringList receiverCells(const CDiscoveryCycle& f, int row);
/// The list's column headers.
QStringList receiverHeaders();

/// What the programming interface read, in order: identity, versions and flash geometry.
QVector<QPair<QString, QJsonValue>> deviceItems(const CSdrInterface& sdr);
/// A progress bar on stderr when it is a terminal, plain percentage lines on stderr otherwise:
/// stdout keeps only results.
class Progress {
public:
    /// `label` starts every line.
    explicit Progress(const QString& label);
    /// Shows `percent` if it changed.
    void show(int percent);
    /// Ends the bar's line.
    void end();

private:
    QString m_Label;
    bool m_Tty;
    int m_Last = -1;
};

} // namespace Out
