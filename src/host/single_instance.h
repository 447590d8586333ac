#pragma once
// One running copy per user and settings folder. The first copy holds a lock file in the settings folder (in
// the runtime folder when the settings folder cannot be written) and listens on a local socket; a second
// windowed launch asks it to come to the front and ends. A headless copy has no window to show and says so
// instead. A killed copy's lock and socket never block (the lock records its pid; the socket is cleaned up
// before listening), and a copy that is quitting drops its socket and lock first, so a launch that finds the
// lock but no socket waits a little for the lock to come free.
#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

#include <memory>

namespace plindo::host {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    static constexpr int kWaitForLockMs = 5000;

    enum class Outcome {
        first,           // this copy runs: it holds the lock and listens
        activatedOther,  // another copy runs and was asked to come to the front
        headlessOther,   // a headless copy runs (`holderPid`): it has no window to bring to the front
        heldByOther,     // another copy holds the lock (`holderPid`) and could not be reached
    };
    struct Claim {
        Outcome outcome = Outcome::first;
        qint64 holderPid = 0;
        QString error;    // why the lock could not be taken at all (neither folder writable)
        QString warning;  // this copy runs, but with its lock somewhere else than usual
    };

    // `settingsFolder`: the folder of the settings file; created when missing. `runtimeFolder`: where the lock
    // goes when that folder cannot be written; empty means $XDG_RUNTIME_DIR, else /tmp/plindo-<uid>.
    explicit SingleInstance(QString settingsFolder, QString runtimeFolder = {});
    ~SingleInstance() override;

    // Window launch: the lock, else a running copy to activate, else (up to 5 s) the lock once it frees.
    Claim claimWindowed();
    // Headless launch: the lock or nothing; it listens too, so a window launch does not start a second copy.
    Claim claimHeadless();
    // Stops listening and frees the lock. Idempotent.
    void release();

    QString serverName() const { return serverName_; }
    QString lockPath() const { return lockPath_; }

signals:
    // Another launch asked this copy to come to the front.
    void activateRequested();

private:
    enum class Answer { none, activated, headless };
    bool takeLock(int timeoutMs);
    bool lockUnwritable() const;
    bool useFallbackLock();  // true when the lock moved to the runtime folder
    bool listen();
    Answer askToActivate(const QDeadlineTimer& until, qint64& pid);  // waits for the answer until `until`
    qint64 holderPid() const;
    Claim cannotWrite() const;

    QString folder_;
    QString runtimeFolder_;
    QString digest_;
    QString lockPath_;
    QString warning_;
    bool headless_ = false;
    QString serverName_;
    std::unique_ptr<QLockFile> lock_;
    std::unique_ptr<QLocalServer> server_;
};

}  // namespace plindo::host
