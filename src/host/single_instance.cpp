#include "host/single_instance.h"

#include <QCryptographicHash>
#include <QDeadlineTimer>
#include <QDir>
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
}  // namespace

SingleInstance::SingleInstance(QString settingsFolder) : folder_(std::move(settingsFolder)) {
    QDir().mkpath(folder_);
    const QString canonical = QFileInfo(folder_).absoluteFilePath();
    lockPath_ = canonical + "/plindo.lock";
    // Short enough for a socket path: the user and a digest of the settings folder.
    const QByteArray digest = QCryptographicHash::hash(canonical.toUtf8(), QCryptographicHash::Sha1).toHex().left(12);
    serverName_ = QString("plindo-%1-%2").arg(::getuid()).arg(QString::fromLatin1(digest));
}

SingleInstance::~SingleInstance() { release(); }

bool SingleInstance::takeLock(int timeoutMs) {
    if (!lock_) {
        lock_ = std::make_unique<QLockFile>(lockPath_);
        lock_->setStaleLockTime(0);  // stale only when its process is gone, never by age
    }
    return lock_->tryLock(timeoutMs);
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
                emit activateRequested();
                s->write(kDone);
                s->flush();
                s->disconnectFromServer();
            });
        }
    });
    return true;
}

bool SingleInstance::askToActivate(const QDeadlineTimer& until) {
    QLocalSocket s;
    s.connectToServer(serverName_);
    if (!s.waitForConnected(kConnectMs)) return false;
    // Only an answer counts: a copy that is going away closes the connection unanswered. A busy copy may be
    // slow to answer; asking again would bring it to the front twice.
    s.write(kActivate);
    QByteArray reply;
    QDeadlineTimer answer(std::max<qint64>(kConnectMs, until.remainingTime()));
    while (!reply.contains('\n') && !answer.hasExpired() && s.waitForReadyRead(int(answer.remainingTime())))
        reply += s.readAll();
    reply += s.readAll();
    s.abort();
    return reply.startsWith(kDone);
}

SingleInstance::Claim SingleInstance::claimWindowed() {
    // The holder may be starting (no socket yet) or quitting (socket gone, lock not yet free): ask and retry
    // until one of the two works or the wait is over.
    QDeadlineTimer deadline(kWaitForLockMs);
    for (;;) {
        if (takeLock(0)) {
            listen();
            return {};
        }
        if (lock_->error() != QLockFile::LockFailedError)
            return {Outcome::heldByOther, 0, "cannot write " + lockPath_};
        if (askToActivate(deadline)) return {Outcome::activatedOther, holderPid(), {}};
        if (deadline.hasExpired()) return {Outcome::heldByOther, holderPid(), {}};
        if (takeLock(kRetryMs)) {
            listen();
            return {};
        }
    }
}

SingleInstance::Claim SingleInstance::claimHeadless() {
    if (!takeLock(0)) {
        if (lock_->error() != QLockFile::LockFailedError) return {Outcome::heldByOther, 0, "cannot write " + lockPath_};
        return {Outcome::heldByOther, holderPid(), {}};
    }
    listen();
    return {};
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
