#pragma once

#include "core/mailbox.h"
#include "server/archives/archive_stream.h"

#include <QHash>
#include <QObject>
#include <QString>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <thread>

// How many archives are written at the same time.
struct QuarryArchiveLimits {
    // Writing an archive is mostly reading and deflating: two per core keep the disk and the cores busy.
    int atOnce = 2 * QThread::idealThreadCount();
    // So that one client cannot take every place.
    int perClient = 2;
    // A writer that has waited this long for its visitor to take what it made gives its place to the
    // next archive: it needs neither disk nor processor while its visitor reads slowly.
    std::chrono::milliseconds yieldAfter = std::chrono::seconds(1);
    // Writers at once, those waiting for slow visitors included; 0: four times atOnce.
    int mostWriters = 0;
};

// Runs archive writers, each on a thread of its own, a bounded number working at a time; the others wait
// their turn in the order they came, and a client already holding its share of places waits while the
// clients behind it go first. A writer that waits for a slow visitor leaves its place to the next one
// (it works again once its visitor reads, so a few more may work for a moment). A writer whose stream
// nobody holds any more (its visitor left while it waited) is dropped without running.
// Threads: submit and the bookkeeping on the thread the object lives on (the server thread); writers
// on their own threads, which tell it that they ended through queued calls.
class QuarryArchiveWriters : public QObject {
    Q_OBJECT
public:
    using Writer = std::function<void(QuarryArchiveStream&)>;

    explicit QuarryArchiveWriters(QObject* parent = nullptr);
    // Cancels every running writer and waits until each has ended.
    ~QuarryArchiveWriters() override;

    // started is called on this object's thread once the writer has its thread (possibly before submit
    // returns), unless the stream has been dropped meanwhile.
    void submit(const QString& client, const QuarryArchiveLimits& limits,
                const std::shared_ptr<QuarryArchiveStream>& stream, Writer writer,
                std::function<void()> started = {});

    // Writer threads running in this process now (all servers): none once every archive has ended.
    static int runningThreads();

private:
    struct Waiting {
        QString client;
        std::weak_ptr<QuarryArchiveStream> stream;
        Writer writer;
        std::function<void()> started;
    };
    struct Running {
        quint64 id = 0;
        QString client;
        std::shared_ptr<QuarryArchiveStream> stream;
        std::thread thread;
    };

    void startWaiting();
    void ended(quint64 id);
    // Writers holding a place: those not waiting for a slow visitor.
    int working() const;

    QuarryArchiveLimits m_limits;
    std::deque<Waiting> m_waiting;
    std::list<Running> m_running;
    QHash<QString, int> m_runningPerClient;
    quint64 m_nextId = 0;
    // Guards m_closing, which writers read before they report their end.
    std::mutex m_closingLock;
    bool m_closing = false;
    // Writers report their end through it; a child, so it moves and ends with this object.
    QuarryMailbox* m_mailbox;
    // While archives wait: looks again whether a writer has come to wait for its visitor.
    QTimer m_lookAgain;
};
