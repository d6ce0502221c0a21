#include "globals.h"

#include "buildconfig.h"

QString apiBaseUrl = QStringLiteral(BORVANE_API_BASE_URL);
const QString clientVersion = QStringLiteral(BORVANE_CLIENT_VERSION);
QString clientUuid;
QString logFileStamp;
QString currentUserId;
QString currentUserName;
QString currentToken;

QString webConsoleTunnelUrl()
{
    return QStringLiteral(BORVANE_WEB_CONSOLE_URL) + QStringLiteral("/#/tunnel");
}

QString websiteHost()
{
    return QStringLiteral(BORVANE_WEBSITE_HOST);
}

QString statusApiAddress()
{
    return QStringLiteral(BORVANE_STATUS_ADDRESS);
}
