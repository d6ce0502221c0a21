#include "addressqr.h"

#include "net/api.h"
#include "net/httprequest.h"

#include <QLabel>
#include <QPixmap>
#include <QVBoxLayout>

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
    image = new QLabel(QStringLiteral("二维码加载中…"), this);
    image->setFixedSize(ImagePx, ImagePx);
    image->setAlignment(Qt::AlignCenter);
    image->setStyleSheet(QStringLiteral("color: rgb(90, 98, 112);font-size:12px;"));
    auto *caption = new QLabel(text, this);
    caption->setAlignment(Qt::AlignCenter);
    caption->setTextFormat(Qt::PlainText);
    caption->setStyleSheet(QStringLiteral("color: rgb(40, 48, 64);font-size:12px;"));
    layout->addWidget(image);
    layout->addWidget(caption);

    HttpRequest(api::url(api::PaymentQrImage, text))
        .fetch(
            this,
            [this](const QByteArray &chunk) {
                if (tooLarge || imageBytes.size() + chunk.size() > MaxImageBytes) {
                    tooLarge = true;
                    imageBytes.clear();
                    return;
                }
                imageBytes.append(chunk);
            },
            [this] { showImage(); },
            [this](const QString &) { image->setText(QStringLiteral("二维码获取失败")); });
}

void AddressQr::showImage()
{
    QPixmap pixmap;
    if (tooLarge || !pixmap.loadFromData(imageBytes)) {
        image->setText(QStringLiteral("二维码获取失败"));
        return;
    }
    image->setPixmap(
        pixmap.scaled(ImagePx, ImagePx, Qt::KeepAspectRatio, Qt::SmoothTransformation));
}
