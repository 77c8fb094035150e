// A window timer: once enabled it calls onTimer every interval until it is
// disabled. The program uses a Qt timer; tests use a timer of virtual time.
#ifndef LARKIN_FRONTEND_INTERVAL_TIMER_H
#define LARKIN_FRONTEND_INTERVAL_TIMER_H

#include <QTimer>
#include <functional>
#include <memory>

namespace larkin::frontend {

class IntervalTimer {
  public:
    virtual ~IntervalTimer() = default;
    virtual void SetInterval(int milliseconds) = 0;
    virtual int Interval() const = 0;
    virtual void SetEnabled(bool enabled) = 0;
    virtual bool Enabled() const = 0;

    std::function<void()> onTimer;
};

class QtIntervalTimer : public IntervalTimer {
  public:
    QtIntervalTimer() {
        QObject::connect(&timer_, &QTimer::timeout, [this] {
            if (onTimer) onTimer();
        });
    }
    void SetInterval(int milliseconds) override { timer_.setInterval(milliseconds); }
    int Interval() const override { return timer_.interval(); }
    void SetEnabled(bool enabled) override {
        if (enabled)
            timer_.start();
        else
            timer_.stop();
    }
    bool Enabled() const override { return timer_.isActive(); }

  private:
    QTimer timer_;
};

using TimerFactory = std::function<std::unique_ptr<IntervalTimer>()>;

}  // namespace larkin::frontend

#endif
