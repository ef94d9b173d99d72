#pragma once

#include <QCoreApplication>
#include <QEvent>
#include <QObject>
#include <QTimer>
#include <QWindow>

#include <cstdio>

// Prints "exposed" on stdout once the first top-level window is exposed and has handled that
// expose (painted its first frame), then ends the program.
class ExposeReport : public QObject
{
    Q_OBJECT

public:
    explicit ExposeReport(QObject *parent = nullptr) : QObject(parent) {}

    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (!m_reported && event->type() == QEvent::Expose && watched->isWindowType() &&
            static_cast<QWindow *>(watched)->isExposed()) {
            m_reported = true;
            // Queued: runs once the expose, and the paint it causes, have been handled.
            QTimer::singleShot(0, this, [] {
                std::printf("exposed\n");
                std::fflush(stdout);
                QCoreApplication::quit();
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_reported = false;
};
