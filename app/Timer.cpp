#include "app/Timer.h"

TTimer::TTimer(QObject* parent, int interval) : QObject(parent), interval_(interval) {
    timer_.setTimerType(Qt::PreciseTimer);
    connect(&timer_, &QTimer::timeout, this, [this] { Tick(); });
}

void TTimer::SetEnabled(bool enabled) {
    if (enabled == enabled_)
        return;
    enabled_ = enabled;
    Update();
}

void TTimer::SetInterval(int interval) {
    if (interval == interval_)
        return;
    interval_ = interval;
    Update();
}

void TTimer::Update() {
    // Always stop first, so a new interval counts from now.
    timer_.stop();
    if (enabled_ && interval_ > 0)
        timer_.start(interval_);
}

void TTimer::Tick() {
    // A handler that shows a modal message keeps the event loop turning; without this guard every
    // further tick would stack one more nested message, without bound, until the stack ran out.
    if (inTick_ || !OnTimer)
        return;
    inTick_ = true;
    struct Reset {
        bool& flag;
        ~Reset() { flag = false; }
    } reset{inTick_};
    OnTimer();
}
