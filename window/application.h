#pragma once

#include <QApplication>
#include <QIcon>

// The configurator's application object. It names the program and catches
// any error that escapes an event handler: the user is shown one message
// that names the error, and the program then ends with a failure status.
class Application : public QApplication
{
public:
    Application(int &argc, char **argv);

    // Whether there is a display to open the window on: Qt's platform named
    // (QT_QPA_PLATFORM, or -platform among the arguments), or DISPLAY or
    // WAYLAND_DISPLAY set. Says so on standard error when there is none.
    // Until the application object is made, a display that is named but
    // cannot be opened ends the program with status 1 and a message that
    // names it, instead of the toolkit's own.
    static bool displayFound(int argc, char **argv);

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the message for an error that no handler caught and makes the
    // event loop end with a failure status.
    static void reportUncaughtError(const QString &what);

    // The program's icon, the window icon of every window: the drawn
    // 32 x 32 picture, and the scalable one for every other size.
    static QIcon programIcon();
};
