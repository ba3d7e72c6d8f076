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

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the message for an error that no handler caught and makes the
    // event loop end with a failure status.
    static void reportUncaughtError(const QString &what);

    // The program's icon, the window icon of every window: the drawn
    // 32 x 32 picture, and the scalable one for every other size.
    static QIcon programIcon();
};
