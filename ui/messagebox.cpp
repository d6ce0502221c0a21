#include "messagebox.h"

#include "platform/environment.h"

#include <QAbstractButton>
#include <QPushButton>

namespace dialogs {

int show(QWidget *parent, const Box &box)
{
    const Environment &environment = Environment::current();
    if (environment.messageBox)
        return environment.messageBox(box);
    QMessageBox message(box.icon, box.title, box.text, QMessageBox::NoButton, parent);
    if (box.buttons.isEmpty()) {
        message.addButton(QMessageBox::Ok);
        message.exec();
        return 0;
    }
    QList<QAbstractButton *> added;
    for (int i = 0; i < box.buttons.size(); ++i)
        added.append(
            message.addButton(box.buttons.at(i), box.roles.value(i, QMessageBox::AcceptRole)));
    message.exec();
    return int(added.indexOf(message.clickedButton()));
}

void information(QWidget *parent, const QString &title, const QString &text)
{
    show(parent, {QMessageBox::Information, title, text, {}, {}});
}

void warning(QWidget *parent, const QString &title, const QString &text)
{
    show(parent, {QMessageBox::Warning, title, text, {}, {}});
}

} // namespace dialogs
