#include "updatecheck.h"

#include "core/globals.h"
#include "net/api.h"
#include "net/httprequest.h"
#include "net/updatedownload.h"
#include "platform/environment.h"

#include <QDebug>
#include <QRegularExpression>
#include <QTime>
#include <QVector>

namespace {

constexpr int FirstUpdateHour = 10;
constexpr int LastUpdateHour = 17;

// The numbers of a dotted decimal version; empty when the text is anything else.
QVector<qulonglong> versionNumbers(const QString &version)
{
    static const QRegularExpression dottedDecimal(QStringLiteral("^\\d+(\\.\\d+)*$"));
    const QString text = version.trimmed();
    if (!dottedDecimal.match(text).hasMatch())
        return {};
    QVector<qulonglong> numbers;
    for (const QString &part : text.split(QLatin1Char('.'))) {
        bool ok = false;
        const qulonglong n = part.toULongLong(&ok);
        if (!ok)
            return {};
        numbers.append(n);
    }
    return numbers;
}

// A version as one number, its digits read together ("1.0.10" is 1010; 0 when not a number):
// how the log has always shown the two versions side by side.
qulonglong versionDigits(const QString &version)
{
    return QString(version).remove(QLatin1Char('.')).toULongLong();
}

UpdateOffer readOffer(const QVariantMap &answer)
{
    const QVariantMap data = answer.value(QLatin1String(api::Data)).toMap();
    UpdateOffer offer;
    offer.version = data.value(QStringLiteral("version")).toString();
    offer.description = data.value(QStringLiteral("updateDesc")).toString();
    offer.urls = data.value(QStringLiteral("urls")).toString();
    offer.mandatory = data.value(QStringLiteral("mustUpdate")).toInt() != 0;
    return offer;
}

} // namespace

UpdateCheck::UpdateCheck(QObject *parent) : QObject(parent) {}

bool UpdateCheck::isNewerVersion(const QString &received, const QString &current)
{
    const QVector<qulonglong> a = versionNumbers(received);
    // Not a version at all: counts as 0, which is never newer.
    if (a.isEmpty())
        return false;
    const QVector<qulonglong> b = versionNumbers(current);
    const int length = qMax(a.size(), b.size());
    for (int i = 0; i < length; ++i) {
        const qulonglong x = a.value(i, 0);
        const qulonglong y = b.value(i, 0);
        if (x != y)
            return x > y;
    }
    return false;
}

bool UpdateCheck::isUpdateHour(const QTime &time)
{
    return time.hour() >= FirstUpdateHour && time.hour() <= LastUpdateHour;
}

void UpdateCheck::checkOnSchedule()
{
    if (isUpdateHour(platform::now().time()))
        check(Trigger::Automatic);
}

void UpdateCheck::check(Trigger trigger)
{
    HttpRequest(api::url(api::UpdateInfo))
        .get(
            this,
            [this, trigger](bool flag, const QVariantMap &answer) {
                answered(trigger, flag, answer);
            },
            [this, trigger](const QString &error) {
                qDebug() << "err" << error;
                emit failed(error, trigger);
            });
}

void UpdateCheck::answered(Trigger trigger, bool flag, const QVariantMap &answer)
{
    api::logAnswer(answer);
    if (!flag) {
        emit refused(answer.value(QLatin1String(api::Msg)).toString(), trigger);
        return;
    }
    UpdateOffer offer = readOffer(answer);
    const bool newer = isNewerVersion(offer.version, clientVersion);
    // A forced release that was refused, and the user told so, is not started by itself again:
    // it would be refused again (or handed over and refused, restart after restart). It stays
    // on offer for the user's own press.
    if (offer.mandatory && UpdateDownload::refusalShown(offer.version)) {
        qDebug() << "refused before, not forced again:" << offer.version;
        offer.mandatory = false;
    }
    if (trigger == Trigger::Manual) {
        qDebug() << (newer ? "需要更新 click" : "不需要更新 click");
    } else {
        qDebug() << "version:" << offer.version;
        qDebug() << "updateDesc:" << offer.description;
        qDebug() << "------------" << versionDigits(offer.version) << versionDigits(clientVersion);
        qDebug() << "=-==========" << offer.version << clientVersion;
        if (newer)
            qDebug() << "需要更新";
    }
    if (newer)
        emit offered(offer, trigger);
    else
        emit upToDate(trigger);
}
