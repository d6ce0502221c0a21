#include "addressqr.h"

#include <QImage>
#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

#ifdef BORVANE_HAS_QRENCODE
#include <qrencode.h>
#endif

bool AddressQr::isAvailable()
{
#ifdef BORVANE_HAS_QRENCODE
    return true;
#else
    return false;
#endif
}

QImage AddressQr::encode(const QString &text, int scale)
{
#ifdef BORVANE_HAS_QRENCODE
    constexpr int QuietModules = 4;
    QRcode *code = QRcode_encodeString(text.toUtf8().constData(), 0, QR_ECLEVEL_M, QR_MODE_8, 1);
    if (!code)
        return QImage();
    const int side = (code->width + 2 * QuietModules) * scale;
    QImage image(side, side, QImage::Format_Mono);
    image.fill(0);
    image.setColor(0, qRgb(255, 255, 255));
    image.setColor(1, qRgb(0, 0, 0));
    for (int y = 0; y < code->width; ++y)
        for (int x = 0; x < code->width; ++x)
            if (code->data[y * code->width + x] & 1)
                for (int dy = 0; dy < scale; ++dy)
                    for (int dx = 0; dx < scale; ++dx)
                        image.setPixel((x + QuietModules) * scale + dx,
                                       (y + QuietModules) * scale + dy, 1);
    QRcode_free(code);
    return image;
#else
    Q_UNUSED(text);
    Q_UNUSED(scale);
    return QImage();
#endif
}

AddressQr::AddressQr(const QString &text, QWidget *anchor)
    : QWidget(anchor, Qt::Popup | Qt::FramelessWindowHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setAttribute(Qt::WA_StyledBackground);
    setObjectName(QStringLiteral("AddressQr"));
    setStyleSheet(
        QStringLiteral("QWidget#AddressQr{background-color: rgb(255, 255, 255);border:1px "
                       "solid rgb(222, 226, 232);border-radius:6px;}"));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(12, 12, 12, 10);
    auto *image = new QLabel(this);
    image->setFixedSize(ImagePx, ImagePx);
    image->setAlignment(Qt::AlignCenter);
    const QImage code = encode(text, 4);
    if (code.isNull())
        image->setText(QStringLiteral("地址过长，无法生成二维码"));
    else
        image->setPixmap(QPixmap::fromImage(code).scaled(ImagePx, ImagePx, Qt::KeepAspectRatio,
                                                         Qt::FastTransformation));
    auto *caption = new QLabel(text, this);
    caption->setAlignment(Qt::AlignCenter);
    caption->setTextFormat(Qt::PlainText);
    caption->setStyleSheet(QStringLiteral("color: rgb(40, 48, 64);font-size:12px;"));
    layout->addWidget(image);
    layout->addWidget(caption);
}
