#pragma once

#include <QWidget>

namespace Ui {
class MyWindow;
}

// (being built)
class MyWindow : public QWidget
{
    Q_OBJECT

public:
    explicit MyWindow(QWidget *parent = nullptr);
    ~MyWindow() override;

private:
    Ui::MyWindow *ui;
};
