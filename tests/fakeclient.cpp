// Stands in for the client beside the update program: started with no arguments it writes the
// size of its own executable to started.txt and ends, so a test sees which copy came back;
// with "--stay-ms N" it runs for N ms (a client that has not ended yet).
#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() == 3 && args.at(1) == QLatin1String("--stay-ms")) {
        QTimer::singleShot(args.at(2).toInt(), &app, &QCoreApplication::quit);
        return app.exec();
    }
    QFile record(QCoreApplication::applicationDirPath() + QStringLiteral("/started.txt"));
    if (!record.open(QIODevice::WriteOnly | QIODevice::Append))
        return 1;
    record.write(QByteArray::number(QFileInfo(QCoreApplication::applicationFilePath()).size()) +
                 '\n');
    return 0;
}
