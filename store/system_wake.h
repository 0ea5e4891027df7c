#pragma once

#include <QObject>

// Tells when the computer wakes from sleep: logind's PrepareForSleep(false) on the system bus.
// Without a system bus nothing is registered and `woke` never fires.
class QuarrySystemWakeWatcher : public QObject {
    Q_OBJECT
public:
    explicit QuarrySystemWakeWatcher(QObject* parent = nullptr);

Q_SIGNALS:
    void woke();

private Q_SLOTS:
    void prepareForSleep(bool sleeping);
};
