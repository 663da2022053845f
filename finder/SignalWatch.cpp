#include "SignalWatch.h"

#include <QSocketNotifier>

#include <csignal>
#include <sys/socket.h>
#include <unistd.h>

namespace {

int g_Pipe[2] = {-1, -1};  ///< written by the handler, read on the event loop

void onSignal(int number)
{
    const char byte = char(number);
    // Only async-signal-safe calls here.
    [[maybe_unused]] const ssize_t n = ::write(g_Pipe[0], &byte, 1);
}

} // namespace

CSignalWatch::CSignalWatch(std::initializer_list<int> signalNumbers, QObject* parent)
    : QObject(parent)
{
    if (g_Pipe[0] < 0 && ::socketpair(AF_UNIX, SOCK_STREAM, 0, g_Pipe) != 0)
        return;
    auto* notifier = new QSocketNotifier(g_Pipe[1], QSocketNotifier::Read, this);
    connect(notifier, &QSocketNotifier::activated, this, [this] {
        char buf[16];
        const ssize_t n = ::read(g_Pipe[1], buf, sizeof buf);
        for (ssize_t i = 0; i < n; ++i)
            emit Raised(buf[i]);
    });
    for (int s : signalNumbers)
        std::signal(s, onSignal);
}
