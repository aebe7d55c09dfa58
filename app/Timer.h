#pragma once

#include <QObject>
#include <QTimer>

#include <functional>

// A window timer with the classic component's rules rather than QTimer's: it ticks only while it
// is enabled, has a positive interval and a tick handler; the first tick comes one full interval
// after it starts; changing the interval or switching it on restarts the count; an interval of 0
// (or below) stops the ticks but leaves the timer enabled. A handler that fails does not stop it.
// A tick that falls due while the previous tick's handler is still running (showing a modal
// message, say) is dropped rather than nested.
class TTimer : public QObject {
    Q_OBJECT

  public:
    TTimer(QObject* parent, int interval);

    bool Enabled() const { return enabled_; }
    void SetEnabled(bool enabled);
    int Interval() const { return interval_; }
    // Milliseconds. A negative interval counts as 0: read as an unsigned count it would be weeks
    // long and never tick in practice; here it plainly does not tick. Interval() returns it as set.
    void SetInterval(int interval);
    // Whether ticks are actually scheduled.
    bool Ticking() const { return timer_.isActive(); }

    // Runs on every tick, on the owner's thread. Expected not to throw.
    std::function<void()> OnTimer;

  private:
    void Update();
    void Tick();

    QTimer timer_;
    bool enabled_ = false;
    int interval_;
    bool inTick_ = false;
};
