#include "engine_worker.h"

#include <QApplication>
#include <QCloseEvent>
#include <QEventLoop>

namespace larkin::frontend {
namespace {

// Swallows user input for every window while installed.
class InputBlocker : public QObject {
  public:
    bool eventFilter(QObject* watched, QEvent* event) override {
        switch (event->type()) {
            case QEvent::MouseButtonPress:
            case QEvent::MouseButtonRelease:
            case QEvent::MouseButtonDblClick:
            case QEvent::Wheel:
            case QEvent::KeyPress:
            case QEvent::KeyRelease:
            case QEvent::Shortcut:
            case QEvent::ShortcutOverride:
            case QEvent::ContextMenu:
            case QEvent::TouchBegin:
            case QEvent::TouchUpdate:
            case QEvent::TouchEnd:
                return true;
            case QEvent::Close:
                // A window closed by its title bar stays open.
                if (watched->isWidgetType()) {
                    event->ignore();
                    return true;
                }
                return false;
            default:
                return false;
        }
    }
};

}  // namespace

EngineWorker::EngineWorker() {
    thread_.setObjectName(QStringLiteral("engine"));
    context_ = new QObject;
    context_->moveToThread(&thread_);
    QObject::connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

EngineWorker::~EngineWorker() {
    thread_.quit();
    thread_.wait();
}

void EngineWorker::RunOnWorker(const std::function<void()>& job) {
    InputBlocker blocker;
    bool blocking = depth_ == 0 && qApp != nullptr;
    if (blocking) {
        qApp->installEventFilter(&blocker);
        QApplication::setOverrideCursor(Qt::BusyCursor);
    }
    ++depth_;
    QEventLoop loop;
    QMetaObject::invokeMethod(
        context_,
        [&job, &loop] {
            job();
            QMetaObject::invokeMethod(&loop, &QEventLoop::quit, Qt::QueuedConnection);
        },
        Qt::QueuedConnection);
    // Input is not excluded from the loop (it would be delivered afterwards);
    // the blocker drops it.
    loop.exec();
    --depth_;
    if (blocking) {
        QApplication::restoreOverrideCursor();
        qApp->removeEventFilter(&blocker);
    }
}

}  // namespace larkin::frontend
