#pragma once

#include <QApplication>
#include <QIcon>

// The configurator's application object. It names the program and catches
// any error that escapes an event handler: the user is shown one message
// that names the error, and the program then ends with a failure status.
class Application : public QApplication {
public:
    Application(int &argc, char **argv);

    // Whether there is a display to open the window on: Qt's platform named
    // (QT_QPA_PLATFORM, or -platform among the arguments), or DISPLAY or
    // WAYLAND_DISPLAY set. Says so on standard error when there is none.
    // Until the application object is made, a display that is named but
    // cannot be opened ends the program with status 1 and a message that
    // names it, instead of the toolkit's own.
    static bool displayFound(int argc, char **argv);

    // Qt takes QT_SCALE_FACTOR as it finds it: a negative factor (or one
    // that is no finite number) gives the window a negative size, which it
    // cannot paint. Before the application object is made, such a factor
    // is set to 1, with a line on standard error. A factor of 0 is left to
    // Qt, which then shows no window.
    static void keepScaleFactorSane();

    // The toolkit scales every window by the screen's resolution, the one
    // that QT_FONT_DPI names among them. The factor by which a window of
    // `size` must shrink to fit the primary screen's room for windows at
    // that scale, below 1 where it does not fit; and, before the
    // application object is made, the scale that makes it so
    // (QT_SCALE_FACTOR, multiplied by that factor).
    static qreal roomOnScreenFor(const QSize &size);
    static void scaleWindowsBy(qreal factor);

    // While it lives, a connection of its own to the X server that the
    // application object of argv uses, so that a server which resets when
    // its last client leaves (a bare Xvfb, an xinit session) stays as it is
    // while that object is made anew. Nothing on other platforms.
    class DisplayHold {
    public:
        DisplayHold(int argc, char **argv);
        ~DisplayHold();
        DisplayHold(const DisplayHold &) = delete;
        DisplayHold &operator=(const DisplayHold &) = delete;

    private:
        void *m_library = nullptr, *m_connection = nullptr;
        void (*m_disconnect)(void *) = nullptr;
    };

    bool notify(QObject *receiver, QEvent *event) override;

    // Shows the message for an error that no handler caught and makes the
    // event loop end with a failure status.
    static void reportUncaughtError(const QString &what);

    // The program's icon, the window icon of every window: the drawn
    // 32 x 32 picture, and the scalable one for every other size.
    static QIcon programIcon();
};
