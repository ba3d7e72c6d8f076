#include "application.h"

#include "frmMain.h"

#include <QIcon>
#include <QMessageBox>

#include <cstdlib>
#include <exception>

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    // The name is the one of the executable and of its desktop entry, so
    // that X11 gives the window the class the launcher expects; the title
    // is what the user reads.
    setApplicationName(QStringLiteral("tavorin-configurator"));
    setApplicationDisplayName(ApplicationTitle);
    setApplicationVersion(QStringLiteral("1.00"));
    setDesktopFileName(QStringLiteral("tavorin-configurator"));
    setWindowIcon(programIcon());
}

QIcon Application::programIcon()
{
    // The scalable picture serves every size but one: at 32 x 32 the drawn
    // pixels are used as they are. Where Qt has no SVG support installed,
    // the 32 x 32 picture is all there is.
    QIcon icon(QStringLiteral(":/icons/tavorin-configurator.svg"));
    icon.addFile(QStringLiteral(":/icons/tavorin-configurator.xpm"), QSize(32, 32));
    return icon;
}

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
    QMessageBox::critical(nullptr, ApplicationTitle,
                          tr("Tavorin Configurator has met an error and must end:\n\n%1").arg(what));
    QCoreApplication::exit(EXIT_FAILURE);
}
