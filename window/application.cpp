#include "window/application.h"

#include <QIcon>
#include <QScreen>
#include <QIconEngine>
#include <QMessageBox>
#include <QImage>
#include <QPainter>
#include <QPixmap>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <exception>

#include <dlfcn.h>

namespace {

#include "drawn-icon.h"

// The program's icon: the drawn 32 x 32 picture, and the scalable picture
// for every other size. SVG support costs the program about a megabyte of
// memory, so it is loaded only when another size is first asked for (a
// high-DPI screen, a large view); at 32 x 32 the drawn pixels are used as
// they are. Where Qt has no SVG support, the drawn picture serves all sizes.
class ProgramIconEngine : public QIconEngine {
public:
    QPixmap pixmap(const QSize &size, QIcon::Mode mode, QIcon::State state) override
    {
        // The size is in device pixels: the inner icons must not scale it
        // by the screen's density again.
        if (size == DrawnSize)
            return m_drawn.pixmap(size, 1.0, mode, state);
        if (m_scalable.isNull())
            m_scalable = QIcon(QStringLiteral(":/icons/tavorin-configurator.svg"));
        const QPixmap scaled = m_scalable.pixmap(size, 1.0, mode, state);
        return scaled.isNull() ? m_drawn.pixmap(size, 1.0, mode, state) : scaled;
    }

    // QIcon asks for a size already in device pixels; the default would
    // multiply it by the scale a second time.
    QPixmap scaledPixmap(const QSize &size, QIcon::Mode mode, QIcon::State state, qreal) override
    {
        return pixmap(size, mode, state);
    }

    void paint(QPainter *painter, const QRect &rect, QIcon::Mode mode, QIcon::State state) override
    {
        const qreal ratio = painter->device() ? painter->device()->devicePixelRatio() : 1.0;
        painter->drawPixmap(rect, pixmap((QSizeF(rect.size()) * ratio).toSize(), mode, state));
    }

    QSize actualSize(const QSize &size, QIcon::Mode, QIcon::State) override { return size; }
    QList<QSize> availableSizes(QIcon::Mode, QIcon::State) override { return {DrawnSize}; }
    QIconEngine *clone() const override { return new ProgramIconEngine; }
    QString key() const override { return QStringLiteral("tavorin-configurator"); }

private:
    static constexpr QSize DrawnSize{32, 32};
    // The picture's pixels, compiled in: read through an image reader it
    // would make Qt look through every image format plugin first, and even
    // decoding it from its XPM text costs more than the rest of the icon.
    const QIcon m_drawn{QPixmap::fromImage(QImage(reinterpret_cast<const uchar *>(drawn_icon), drawn_icon_width,
                                                  drawn_icon_height, QImage::Format_ARGB32))};
    QIcon m_scalable;
};

} // namespace

namespace {

// While the application object is made: the toolkit ends the program when
// it cannot open the display (a DISPLAY left over from another session,
// an ssh login without forwarding), advising to reinstall. It says instead
// which display could not be opened, and ends with status 1.
void displayUnreachable(QtMsgType type, const QMessageLogContext &context, const QString &text)
{
    if (type != QtFatalMsg) {
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, text)));
        return;
    }
    QStringList named;
    for (const char *name : {"QT_QPA_PLATFORM", "WAYLAND_DISPLAY", "DISPLAY"}) {
        if (!qEnvironmentVariableIsEmpty(name))
            named << QStringLiteral("%1=%2").arg(QLatin1String(name), qEnvironmentVariable(name));
    }
    std::fprintf(stderr,
                 "tavorin-configurator: the display could not be opened (%s): it is not running, or this user "
                 "may not use it. Start the configurator from a desktop session.\n",
                 qPrintable(named.join(QStringLiteral(", "))));
    std::_Exit(EXIT_FAILURE);
}

} // namespace

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    qInstallMessageHandler(nullptr); // displayFound()'s, once the display is open
    // The name is the one of the executable and of its desktop entry, so
    // that X11 gives the window the class the launcher expects. The name
    // that the user reads is the window's title (frmMain).
    setApplicationName(QStringLiteral("tavorin-configurator"));
    setApplicationVersion(QStringLiteral("1.00"));
    setDesktopFileName(QStringLiteral("tavorin-configurator"));
    setWindowIcon(programIcon());
}

bool Application::displayFound(int argc, char **argv)
{
    bool named = !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") || !qEnvironmentVariableIsEmpty("DISPLAY")
              || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
    for (int i = 1; i < argc; ++i)
        named = named || std::strcmp(argv[i], "-platform") == 0;
    if (named) {
        qInstallMessageHandler(displayUnreachable);
        return true;
    }
    std::fputs("tavorin-configurator: no display was found: neither DISPLAY nor WAYLAND_DISPLAY is set. "
               "Start it from a desktop session.\n",
               stderr);
    return false;
}

void Application::keepScaleFactorSane()
{
    const QByteArray text = qgetenv("QT_SCALE_FACTOR");
    bool ok = false;
    const double factor = text.toDouble(&ok);
    if (!ok || (std::isfinite(factor) && factor >= 0))
        return;
    std::fprintf(stderr,
                 "tavorin-configurator: QT_SCALE_FACTOR=%s is no scale a window can have; the window is shown at a "
                 "scale of 1.\n",
                 text.constData());
    qputenv("QT_SCALE_FACTOR", "1");
}

qreal Application::roomOnScreenFor(const QSize &size)
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || size.isEmpty())
        return 1;
    const QSize room = screen->availableGeometry().size();
    return std::min(qreal(room.width()) / size.width(), qreal(room.height()) / size.height());
}

void Application::scaleWindowsBy(qreal factor)
{
    bool ok = false;
    const double present = qEnvironmentVariable("QT_SCALE_FACTOR").toDouble(&ok);
    // Rounded down, so that rounding to pixels cannot make it too large.
    const double scale = std::floor((ok && present > 0 ? present : 1.0) * factor * 1000) / 1000;
    qputenv("QT_SCALE_FACTOR", QByteArray::number(std::max(scale, 0.001), 'f', 3));
}

Application::DisplayHold::DisplayHold(int argc, char **argv)
{
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return;
    // The toolkit's own X library, which its X11 plugin has loaded already.
    m_library = ::dlopen("libxcb.so.1", RTLD_NOW | RTLD_LOCAL);
    using Connect = void *(*)(const char *, int *);
    const auto connect = m_library ? reinterpret_cast<Connect>(::dlsym(m_library, "xcb_connect")) : nullptr;
    m_disconnect = m_library ? reinterpret_cast<void (*)(void *)>(::dlsym(m_library, "xcb_disconnect")) : nullptr;
    const char *display = nullptr; // DISPLAY's, unless -display names one
    for (int i = 1; i + 1 < argc; ++i) {
        if (std::strcmp(argv[i], "-display") == 0)
            display = argv[i + 1];
    }
    if (connect && m_disconnect)
        m_connection = connect(display, nullptr);
}

Application::DisplayHold::~DisplayHold()
{
    if (m_connection)
        m_disconnect(m_connection);
    if (m_library)
        ::dlclose(m_library);
}

QIcon Application::programIcon() { return QIcon(new ProgramIconEngine); }

bool Application::notify(QObject *receiver, QEvent *event)
{
    try {
        return QApplication::notify(receiver, event);
    } catch (const std::exception &error) {
        reportUncaughtError(QString::fromLocal8Bit(error.what()));
    } catch (...) {
        reportUncaughtError(tr("an unknown error"));
    }
    return false;
}

void Application::reportUncaughtError(const QString &what)
{
    QMessageBox::critical(nullptr, applicationDisplayName(),
                          tr("Tavorin Configurator has met an error and must end:\n\n%1").arg(what));
    QCoreApplication::exit(EXIT_FAILURE);
}
