#include "host/single_instance.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <unistd.h>

#include <algorithm>

namespace plindo::host {

namespace {
constexpr int kConnectMs = 500;  // a live copy answers a local connect at once
constexpr int kRetryMs = 100;
const QByteArray kActivate = "activate\n";
const QByteArray kDone = "ok\n";
const QByteArray kHeadless = "headless";  // then the copy's pid and a line feed

QString defaultRuntimeFolder() {
    const QString xdg = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (!xdg.isEmpty() && QFileInfo(xdg).isDir()) return xdg;
    return QString("/tmp/plindo-%1").arg(::getuid());
}
}  // namespace

SingleInstance::SingleInstance(QString settingsFolder, QString runtimeFolder)
    : folder_(std::move(settingsFolder)), runtimeFolder_(std::move(runtimeFolder)) {
    QDir().mkpath(folder_);
    const QString canonical = QFileInfo(folder_).absoluteFilePath();
    lockPath_ = canonical + "/plindo.lock";
    // Short enough for a socket path: the user and a digest of the settings folder.
    const QByteArray digest = QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    digest_ = QString::fromLatin1(digest);
    serverName_ = QString("plindo-%1-%2").arg(::getuid()).arg(digest_);
}

SingleInstance::~SingleInstance() { release(); }

bool SingleInstance::takeLock(int timeoutMs) {
    if (!lock_) {
        lock_ = std::make_unique<QLockFile>(lockPath_);
        lock_->setStaleLockTime(0);  // stale only when its process is gone, never by age
    }
    if (lock_->tryLock(timeoutMs)) return true;
    // A settings folder that cannot be written (read-only, or not even a folder) still gets one copy per
    // folder: every launch for it takes the same lock in the runtime folder instead.
    if (lockUnwritable() && useFallbackLock()) return lock_->tryLock(timeoutMs);
    return false;
}

bool SingleInstance::lockUnwritable() const { return lock_ && lock_->error() != QLockFile::LockFailedError; }

bool SingleInstance::useFallbackLock() {
    const QString runtime = runtimeFolder_.isEmpty() ? defaultRuntimeFolder() : runtimeFolder_;
    const QString fallback = runtime + "/plindo-" + digest_ + ".lock";
    if (fallback == lockPath_) return false;
    if (!QFileInfo(runtime).isDir()) {
        QDir().mkpath(runtime);
        QFile::setPermissions(runtime, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    }
    warning_ = "cannot write " + lockPath_ + "; the lock is kept in " + fallback;
    lockPath_ = fallback;
    lock_ = std::make_unique<QLockFile>(lockPath_);
    lock_->setStaleLockTime(0);
    return true;
}

SingleInstance::Claim SingleInstance::cannotWrite() const {
    return {Outcome::heldByOther, 0, "cannot write " + lockPath_, {}};
}

qint64 SingleInstance::holderPid() const {
    qint64 pid = 0;
    QString host, app;
    if (lock_) lock_->getLockInfo(&pid, &host, &app);
    return pid;
}

bool SingleInstance::listen() {
    server_ = std::make_unique<QLocalServer>();
    server_->setSocketOptions(QLocalServer::UserAccessOption);
    QLocalServer::removeServer(serverName_);  // a killed copy's socket; we hold the lock, so it is not live
    if (!server_->listen(serverName_)) return false;
    connect(server_.get(), &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* s = server_->nextPendingConnection()) {
            connect(s, &QLocalSocket::disconnected, s, &QObject::deleteLater);
            connect(s, &QLocalSocket::readyRead, this, [this, s] {
                if (!s->readAll().contains("activate")) return;
                // A copy without a window cannot come to the front: it says what it is instead.
                if (headless_) {
                    s->write(kHeadless + ' ' + QByteArray::number(QCoreApplication::applicationPid()) + '\n');
                } else {
                    Q_EMIT activateRequested();
                    s->write(kDone);
                }
                s->flush();
                s->disconnectFromServer();
            });
        }
    });
    return true;
}

SingleInstance::Answer SingleInstance::askToActivate(const QDeadlineTimer& until, qint64& pid) {
    QLocalSocket s;
    s.connectToServer(serverName_);
    if (!s.waitForConnected(kConnectMs)) return Answer::none;
    // Only an answer counts: a copy that is going away closes the connection unanswered. A busy copy may be
    // slow to answer; asking again would bring it to the front twice.
    s.write(kActivate);
    QByteArray reply;
    QDeadlineTimer answer(std::max<qint64>(kConnectMs, until.remainingTime()));
    while (!reply.contains('\n') && !answer.hasExpired() && s.waitForReadyRead(int(answer.remainingTime())))
        reply += s.readAll();
    reply += s.readAll();
    s.abort();
    if (reply.startsWith(kDone)) return Answer::activated;
    if (reply.startsWith(kHeadless + ' ') && reply.endsWith('\n')) {
        bool ok = false;
        const qint64 n = reply.mid(kHeadless.size() + 1).trimmed().toLongLong(&ok);
        pid = ok ? n : 0;
        return Answer::headless;
    }
    return Answer::none;
}

SingleInstance::Claim SingleInstance::claimWindowed() {
    headless_ = false;
    // The holder may be starting (no socket yet) or quitting (socket gone, lock not yet free): ask and retry
    // until one of the two works or the wait is over.
    QDeadlineTimer deadline(kWaitForLockMs);
    for (;;) {
        if (takeLock(0)) {
            listen();
            return {Outcome::first, 0, {}, warning_};
        }
        if (lockUnwritable()) return cannotWrite();
        qint64 pid = 0;
        switch (askToActivate(deadline, pid)) {
            case Answer::activated: return {Outcome::activatedOther, holderPid(), {}, {}};
            case Answer::headless: return {Outcome::headlessOther, pid > 0 ? pid : holderPid(), {}, {}};
            case Answer::none: break;
        }
        if (deadline.hasExpired()) return {Outcome::heldByOther, holderPid(), {}, {}};
        if (takeLock(kRetryMs)) {
            listen();
            return {Outcome::first, 0, {}, warning_};
        }
    }
}

SingleInstance::Claim SingleInstance::claimHeadless() {
    headless_ = true;
    if (!takeLock(0)) {
        if (lockUnwritable()) return cannotWrite();
        return {Outcome::heldByOther, holderPid(), {}, {}};
    }
    listen();
    return {Outcome::first, 0, {}, warning_};
}

void SingleInstance::release() {
    if (server_) {
        server_->close();
        server_.reset();
    }
    if (lock_) {
        lock_->unlock();
        lock_.reset();
    }
}

}  // namespace plindo::host
