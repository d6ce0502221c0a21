#pragma once

// What the update tests stand in for: a temporary update folder, and the processes, the quit
// and the message boxes the updater asks for, recorded instead of done. Each test enters a
// fresh set and leaves it, with no refusal of an earlier test remembered.

#include "net/updatedownload.h"
#include "platform/environment.h"
#include "ui/messagebox.h"

#include <QObject>
#include <QPair>
#include <QTemporaryDir>
#include <QtTest>

#include <memory>

class UpdateSurroundings : public QObject
{
protected:
    std::unique_ptr<QTemporaryDir> dir;
    std::unique_ptr<Environment::Scope> environment;
    QStringList killed; // the process names the clean-up would end
    QList<QPair<QString, QStringList>> started;
    QList<int> quits;
    QList<dialogs::Box> boxes;

    void enter()
    {
        dir = std::make_unique<QTemporaryDir>();
        QVERIFY(dir->isValid());
        killed.clear();
        started.clear();
        quits.clear();
        boxes.clear();
        environment = std::make_unique<Environment::Scope>();
        (*environment)->runProcess = [this](const QString &, const QStringList &arguments) {
            killed.append(arguments.value(arguments.size() - 1));
            return 0;
        };
        (*environment)->startDetached = [this](const QString &program,
                                               const QStringList &arguments) {
            started.append({program, arguments});
            return true;
        };
        (*environment)->quit = [this](int code) { quits.append(code); };
        (*environment)->messageBox = [this](const dialogs::Box &box) {
            boxes.append(box);
            return 0;
        };
        (*environment)->updateFolder = dir->path();
    }
    void leave()
    {
        environment.reset();
        UpdateDownload::forgetRefusals();
    }
};
