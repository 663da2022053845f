#pragma once

#include <QObject>

#include <initializer_list>

/// Delivers POSIX signals such as SIGTERM or SIGINT on the event loop, as the Qt signal Raised(number),
/// so that what they set off runs between events and never inside a signal handler.
/// One per process: every instance shares the handler's pipe.
class CSignalWatch : public QObject {
    Q_OBJECT
public:
    /// Installs the handler for each of `signalNumbers`; without a pipe nothing is installed.
    CSignalWatch(std::initializer_list<int> signalNumbers, QObject* parent);

signals:
    /// Watched signal `number` arrived.
    void Raised(int number);
};
