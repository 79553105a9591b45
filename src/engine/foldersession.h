#pragma once

#include "updatercontext.h"

#include <QString>

#include <memory>

class QNetworkAccessManager;

namespace Tarvino {

class FolderLock;
class ListingCheck;
class UpdateJob;
struct Offer;
struct ReleaseTarget;
struct UpdateSettings;
struct UpdateTarget;

// The updater's hold on one application folder from its start to its end: the
// lock (one updater at a time), the support log, the recovery of what an
// earlier run left, what the folder holds, the sweep of leftovers that what is
// on offer does not claim, and the update to what is offered. The window only
// shows what it says.
class FolderSession
{
public:
    FolderSession(const UpdaterContext &context, const QString &appDir, const QString &executableName,
                  const QString &platform, const QString &runningIdentity);
    ~FolderSession();
    FolderSession(const FolderSession &) = delete;
    FolderSession &operator=(const FolderSession &) = delete;

    // Takes the lock, starts the support log and finishes what an earlier run left.
    void open();
    // Another updater works in this folder: this one does nothing; errorString() says why.
    bool busy() const { return m_busy; }
    QString errorString() const { return m_error; }
    // Why nothing can be installed here (empty: it can).
    QString installProblem() const { return m_installProblem; }
    // What the start found of an earlier update, for the user.
    QString startNotice() const { return m_startNotice; }
    // What the folder holds: the identity given, or the later one its records name.
    QString installedVersion() const { return m_installedVersion; }

    // After the check: removes the downloads that what it offers does not claim.
    void sweep(const ListingCheck &check);
    // The update to what the check offered.
    std::unique_ptr<UpdateJob> makeUpdate(QNetworkAccessManager &manager, const Offer &offer) const;

private:
    UpdateTarget updateTarget(const Offer &offer) const;
    ReleaseTarget releaseTarget(const Offer &offer) const;
    void takeSettings(UpdateSettings &target) const;

    const UpdaterContext m_context;
    const QString m_appDir;
    const QString m_executableName;
    const QString m_platform;
    const QString m_runningIdentity;
    std::unique_ptr<FolderLock> m_lock;
    bool m_busy = false;
    QString m_error;
    QString m_installProblem;
    QString m_startNotice;
    QString m_installedVersion;
};

} // namespace Tarvino
