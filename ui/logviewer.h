#pragma once

#include <QStringList>
#include <QWidget>

namespace Ui {
class LogViewer;
}

class QTimer;

// The program's run logs in ./logs, this run's and earlier ones: one file at a time, with the
// lines filtered by level and by a search text, the folder opened in the file manager, and what
// is shown saved elsewhere.
class LogViewer : public QWidget
{
    Q_OBJECT

public:
    explicit LogViewer(QWidget *parent = nullptr);
    ~LogViewer() override;

    // The one viewer of the process, made when first wanted and gone when closed; shown in
    // front.
    static LogViewer *showShared();

    // Lists the files again and shows this run's.
    void reload();
    // Writes the lines shown now to path; false when it cannot be written.
    bool saveTo(const QString &path);
    QString shownText() const;

    // The end of a file that is read; a longer one shows its latest part.
    static constexpr qint64 MaxReadBytes = 8 * 1024 * 1024;
    static constexpr int SearchDelayMs = 200;

private slots:
    void on_btn_refresh_clicked();
    void on_btn_open_folder_clicked();
    void on_btn_save_as_clicked();

private:
    void loadFile(int index);
    void applyFilter();

    QStringList lines; // of the file shown
    bool cut = false;  // only its latest part was read
    QTimer *searchDelay;
    Ui::LogViewer *ui;
};
