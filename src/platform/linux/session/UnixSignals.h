#pragma once

#include <QObject>

#include <initializer_list>

class QSocketNotifier;

namespace knobly {

// Turns SIGTERM/SIGINT into a Qt signal on the main thread, so the program can wind down
// through its normal teardown instead of dying mid-write.
class UnixSignals final : public QObject {
    Q_OBJECT
public:
    explicit UnixSignals(std::initializer_list<int> watched, QObject *parent = nullptr);
    ~UnixSignals() override;

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier *notifier_ = nullptr;
};

} // namespace knobly
