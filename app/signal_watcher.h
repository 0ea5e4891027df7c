#pragma once

#include <QObject>

class QSocketNotifier;

// Turns SIGINT, SIGTERM and SIGHUP into a Qt signal on the main thread. The handler only writes the
// signal's number into a socket pair, the one thing it may safely do; the notifier reads it back in the
// event loop. One per process: a second one takes the signals over from the first.
class QuarrySignalWatcher : public QObject {
    Q_OBJECT

public:
    explicit QuarrySignalWatcher(QObject* parent = nullptr);
    ~QuarrySignalWatcher() override;

    // False when the socket pair or a handler could not be installed.
    bool isInstalled() const { return m_notifier != nullptr; }

Q_SIGNALS:
    void received(int signal);

private:
    QSocketNotifier* m_notifier = nullptr;
};
