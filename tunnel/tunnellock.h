#pragma once

#include <QString>

#include <memory>

class QLockFile;

// One tunnel runs in one program of this machine at a time: the desktop client and the agent
// each hold a lock file per running tunnel, so that the second to start it sees the first
// instead of pushing it off the relay server. The file names the holder's process; a holder
// that died leaves a lock the next start takes over.
class TunnelLock
{
public:
    // folder holds the lock files; an empty folder locks nothing (a test's tunnels, say).
    TunnelLock(const QString &folder, const QString &domain);
    ~TunnelLock();
    TunnelLock(const TunnelLock &) = delete;
    TunnelLock &operator=(const TunnelLock &) = delete;

    // True when this program may run the tunnel: it holds the lock now, or the lock could not
    // be made at all (an unwritable folder never stops a tunnel; it is logged). False while
    // another live process holds it: holder() then names that process.
    bool acquire();
    void release();
    QString holder() const;
    const QString &domain() const { return tunnelDomain; }

    // The file of domain in folder; characters that do not belong in a file name become "_".
    static QString filePath(const QString &folder, const QString &domain);
    // What the refused start reports, naming the other program.
    static QString heldText(const QString &holder);

private:
    QString tunnelDomain;
    QString path;
    std::unique_ptr<QLockFile> file;
    QString otherHolder;
};
