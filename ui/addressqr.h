#pragma once

#include <QByteArray>
#include <QWidget>

class QLabel;

// A small popup with the QR code of a tunnel's public address, so it can be opened on a phone.
// The image comes from the service's QR call; the popup closes on any click outside it.
class AddressQr : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ImagePx = 180;
    static constexpr int MaxImageBytes = 4 * 1024 * 1024;

    // text: what the code holds; shown beneath it as well.
    AddressQr(const QString &text, QWidget *anchor);

private:
    void showImage();

    QLabel *image;
    QByteArray imageBytes;
    bool tooLarge = false;
};
