#pragma once

#include <QByteArray>
#include <QVariantList>
#include <QWidget>

namespace Ui {
class CreateTunnelForm;
}

// Buys a new tunnel: loads the price list and the purchase notice, places the order and, when
// the order needs paying, shows the payment QR code. Deletes itself when closed.
class CreateTunnelForm : public QWidget
{
    Q_OBJECT

public:
    explicit CreateTunnelForm(QWidget *parent = nullptr);
    ~CreateTunnelForm() override;

    void getList();

    // The duration of a package in hours as the user reads it ("30天", "5 小时").
    static QString durationText(int hours);

    // A QR image larger than this is not an image we asked for: its bytes are dropped.
    static constexpr int MaxQrImageBytes = 4 * 1024 * 1024;

signals:
    void payDone();
    // The payment QR code is on screen: the new tunnel may appear in the list once it is paid.
    void paymentShown();

protected:
    void paintEvent(QPaintEvent *event) override;

private slots:
    void on_comboBox_currentIndexChanged(int index);
    void on_pushButton_clicked();
    void on_pushButton_2_clicked();
    void on_pushButton_3_clicked();

private:
    void getNotice();
    void orderAnswered(bool flag, const QVariantMap &data);
    void orderFailed(const QString &message);
    void finishPurchase();
    void showPayment(const QString &payUrl);

    Ui::CreateTunnelForm *ui;
    QVariantList prices;
    QByteArray imageBuffer;
    bool imageTooLarge = false;
};
