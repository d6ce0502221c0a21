#pragma once

#include <optional>
#include <string>

// The PNG image of a QR code for text, each module scale x scale pixels with a quiet zone of
// four modules. Nothing when the text does not fit a QR code.
std::optional<std::string> qrCodePng(const std::string &text, int scale = 8);
