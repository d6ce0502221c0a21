#pragma once

#include <QMessageBox>
#include <QStringList>

// Every modal box of the client goes through here, so that tests can see and answer them
// (through the environment's messageBox) instead of blocking on exec().
namespace dialogs {

struct Box
{
    QMessageBox::Icon icon = QMessageBox::Information;
    QString title;
    QString text;
    QStringList buttons; // custom button texts, in order; empty means a single standard OK
    // The role of each custom button, by position (AcceptRole where none is given): it decides
    // which button Escape and the title bar's close button choose.
    QList<QMessageBox::ButtonRole> roles;
};

// Returns the index of the chosen custom button (0 for the standard OK; -1 when dismissed).
int show(QWidget *parent, const Box &box);
void information(QWidget *parent, const QString &title, const QString &text);
void warning(QWidget *parent, const QString &title, const QString &text);

} // namespace dialogs
