#pragma once

#include "Exit.h"

#include <QJsonObject>
#include <QString>
#include <QStringList>
#include <QVector>

class CSdrInterface;
class CDiscoveryCycle;

/// Printing: results to stdout, messages to stderr.
namespace Out {

/// Where a table or JSON goes: stdout for results, stderr for what a --json reader must not see.
enum class To { Out, Err };

/// Sends Qt's messages to stderr, the debug lines only when verbose.
void installMessageHandler();
void setVerbose(bool on);
/// Writes one line of results to stdout.
void line(const QString& s);
/// Writes one line of progress to stderr.
void note(const QString& s);
/// Writes "quillctl: " and one line to stderr.
void error(const QString& s);
/// `s` as a terminal may show it: every character that would act on the terminal (escape, carriage
/// return, bidirectional override...) replaced by '?', and with `width` > 0, cut to that many
/// characters, the last three "..." when anything was cut.
QString cell(const QString& s, int width = 0);
/// Columns padded to their widest cell, headers first; every cell through cell(), with its column's
/// entry of `widths` when there is one.
void table(const QStringList& headers, const QVector<QStringList>& rows, const QVector<int>& widths = {}, To to = To::Out);
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
/// Progress of the runs under way, on stderr so that stdout keeps only results: on a terminal one bar
/// per run, redrawn in place below the messages; otherwise one line per run and percentage step.
class Board {
public:
    Board();
    ~Board();
    /// Shows `percent` for the run named `label`, if it changed.
    void show(const QString& label, int percent);
    /// Leaves the run's last bar on the terminal and stops drawing it.
    void end(const QString& label);

    /// Clears the bars before a message is written, and draws them again after it.
    static void aside(bool before);

private:
    void draw();
    void erase();

    QVector<QPair<QString, int>> m_Runs;  ///< label and percent, in the order they started
    int m_Drawn = 0;                      ///< bar lines on the terminal now
    bool m_Tty;
};

} // namespace Out
