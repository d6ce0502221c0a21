#pragma once

#include <string>

struct Order;
struct Price;

// The few HTML pages of the service: the website, the web console, the payment page that
// stands in for the payment provider, and the demo page of the demo's local service.
namespace pages {

std::string home(const std::string &site);
std::string console();
// state: the order as it stands; message: a line above it (empty for none).
std::string payment(const Order &order, const Price *price, const std::string &message);
std::string paymentMissing();
std::string demo();
// The short page a web tunnel's visitor gets when the service cannot reach the tunnel's site.
std::string webError(const std::string &title, const std::string &text);

// The line of the demo page that proves the road works; scripts look for it.
extern const char *const DemoMarker;

} // namespace pages
