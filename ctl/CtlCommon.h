#pragma once

#include "Commands.h"
#include "DiscoveryCycle.h"
#include "RecordFields.h"

#include <QByteArray>
#include <QVector>
#include <functional>

/// Steps that several commands share.
namespace Ctl {

constexpr int ConnectTimeoutMs = 15000;    ///< ms for the programming interface to connect and read the device
constexpr int ReconnectTimeoutMs = 30000;  ///< ms for the reconnection after a run, which reads the new versions

/// A discovery cycle with the command line's listen time and interfaces, owned by the application.
CDiscoveryCycle* finder(const CtlOptions& o);
/// Ends the event loop with `code`.
void finish(int code);
/// Runs a discovery cycle and calls `then` with the row of `serial`; ends with a message and exit 1
/// when the receiver is missing or of no known model.
void withReceiver(CDiscoveryCycle* f, const QString& serial, std::function<void(int row)> then);
/// After a Set: discovery cycles until `serial` reports `target` in every one of `fields`, or `timeoutMs`
/// passed; then `done` with the last record seen (nullptr if the receiver did not answer) and the outcome.
void confirmRecord(CDiscoveryCycle* f, const QString& serial, const QByteArray& target,
                   const QVector<const RecordFields::Field*>& fields, int timeoutMs,
                   std::function<void(const quint8* seen, bool ok)> done);

} // namespace Ctl
