#pragma once

#include <QWidget>

class QImage;

// A small popup with the QR code of a tunnel's public address, so it can be opened on a phone.
// It closes on any click outside it.
class AddressQr : public QWidget
{
    Q_OBJECT

public:
    static constexpr int ImagePx = 180;

    // Whether this build can draw QR codes (the QR library is optional).
    static bool isAvailable();
    // The code of text, each module a square of scale pixels with a quiet zone of four modules;
    // a null image when text does not fit in a code.
    static QImage encode(const QString &text, int scale);

    // text: what the code holds; shown beneath it as well.
    AddressQr(const QString &text, QWidget *anchor);
};
