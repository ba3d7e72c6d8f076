// Test support: answering the window's message boxes.
#pragma once

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QStringList>
#include <QVariant>
#include <QTimer>

// Accepts every message box that opens while it watches, for at most five
// seconds, and keeps the titles and texts it saw, and what it stood over.
class MessageBoxWatcher : public QObject {
public:
    MessageBoxWatcher()
    {
        connect(&m_poll, &QTimer::timeout, this, [this] {
            if (m_clock.hasExpired(5000)) {
                m_poll.stop();
                return;
            }
            if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
                titles << box->windowTitle();
                const QVariant plain = box->property("plainText"); // where the box shows it formatted
                texts << (plain.isValid() ? plain.toString() : box->text());
                const QWidget *owner = box->parentWidget();
                over << (owner && owner->isVisible() ? owner->window()->objectName() : QString());
                box->accept();
            }
        });
        m_clock.start();
        m_poll.start(10);
    }

    QStringList titles;
    QStringList texts;
    QStringList over; // the shown window that each box stood over, by name; "" for none

private:
    QTimer m_poll;
    QElapsedTimer m_clock;
};
