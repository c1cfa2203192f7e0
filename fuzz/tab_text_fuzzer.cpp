// Feeds arbitrary bytes to the parser of the extension's text messages, and through the same
// paths the server takes with the result.
#include "tabcapture/TabCaptureProtocol.h"

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    QString error;
    const std::optional<tabcapture::ClientMessage> message =
        tabcapture::parseClientText(bytes, &error);
    // Exactly one of a message and an error text.
    if (message.has_value() == !error.isEmpty())
        std::abort();
    // The same text read as an origin or a codec name must not trip anything either.
    const QString text = QString::fromUtf8(bytes);
    (void)tabcapture::isOriginAllowed(text);
    (void)tabcapture::codecFromName(text);
    (void)tabcapture::configMessage(tabcapture::configFrameRate(text));
    return 0;
}
