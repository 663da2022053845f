#pragma once

#include <QtTest>
#include <QtWidgets>
#include <functional>
#include <memory>

/// Runs `act` once a modal window of type T is active (a modal dialog blocks the test until it closes).
/// Gives up after about five seconds, so a dialog that never opens fails the test instead of hanging it.
template <typename T>
void whenModal(std::function<void(T*)> act)
{
    auto* poll = new QTimer;
    auto tries = std::make_shared<int>(250);
    QObject::connect(poll, &QTimer::timeout, [poll, act, tries] {
        T* w = qobject_cast<T*>(QApplication::activeModalWidget());
        if (w || --*tries == 0) {
            poll->stop();
            poll->deleteLater();
            if (w)
                act(w);
        }
    });
    poll->start(20);
}

/// A named child widget; a missing one ends the test at once with its name.
template <typename T>
T* child(QObject& parent, const char* name)
{
    T* w = parent.findChild<T*>(QLatin1String(name));
    return w ? w : (qFatal("no widget %s", name), nullptr);
}

/// A standard button of a dialog's button box.
inline QPushButton* boxButton(QObject& dlg, QDialogButtonBox::StandardButton which)
{
    return child<QDialogButtonBox>(dlg, "buttonBox")->button(which);
}

/// Ends `dlg` as a person would: "Esc", "close box" (which must be taken), or a click on "OK" or "Close".
inline void closeDialog(QDialog& dlg, const QString& how)
{
    if (how == QLatin1String("Esc"))
        QTest::keyClick(&dlg, Qt::Key_Escape);
    else if (how == QLatin1String("close box"))
        QVERIFY(dlg.close());
    else
        QTest::mouseClick(boxButton(dlg, how == "OK" ? QDialogButtonBox::Ok : QDialogButtonBox::Close), Qt::LeftButton);
}
