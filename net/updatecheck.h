#pragma once

#include <QObject>
#include <QString>

class QTime;

// A newer version as the service offers it.
struct UpdateOffer
{
    QString version;
    QString description;
    QString urls; // the files to fetch, joined by "|||"
    bool mandatory = false;
};

Q_DECLARE_METATYPE(UpdateOffer)

// Asks the service for the current version and tells what to offer; the windows only show it.
// Every answer is dropped once the checker is gone, so a window owns its checker.
class UpdateCheck : public QObject
{
    Q_OBJECT

public:
    // An automatic check runs at start-up and on refresh ticks; a manual one on the user's press.
    enum class Trigger { Automatic, Manual };
    Q_ENUM(Trigger)

    explicit UpdateCheck(QObject *parent = nullptr);

    void check(Trigger trigger);
    // A refresh tick: an automatic check, within the update hours of the environment's clock.
    void checkOnSchedule();

    // True when received names a later version than current. Versions compare number by number
    // ("1.0.10" is newer than "1.0.9"); a version that is not dotted decimal counts as 0.
    static bool isNewerVersion(const QString &received, const QString &current);
    // Automatic update checks run on timer ticks from 10:00 to 17:59 only.
    static bool isUpdateHour(const QTime &time);

signals:
    void upToDate(UpdateCheck::Trigger trigger);
    void offered(const UpdateOffer &offer, UpdateCheck::Trigger trigger);
    // The service answered without an offer; msg is its reason.
    void refused(const QString &msg, UpdateCheck::Trigger trigger);
    // The request itself failed.
    void failed(const QString &error, UpdateCheck::Trigger trigger);

private:
    void answered(Trigger trigger, bool flag, const QVariantMap &answer);
};
