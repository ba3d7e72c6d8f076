#include "application.h"

#include "frmMain.h"

#include <QMessageBox>

#include <cstdlib>
#include <exception>

Application::Application(int &argc, char **argv)
    : QApplication(argc, argv)
{
    setApplicationName(ApplicationTitle);
    setApplicationVersion(QStringLiteral("1.00"));
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
