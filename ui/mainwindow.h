#pragma once

#include <QMainWindow>

namespace Ui {
class MainWindow;
}

// The sign-in and registration window: the first window of every run.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    explicit MainWindow(QWidget *parent = nullptr);
    ~MainWindow() override;

private:
    Ui::MainWindow *ui;
};
