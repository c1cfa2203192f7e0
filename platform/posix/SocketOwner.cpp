#include "SocketOwner.h"

#include <QFile>

#include <cstring>

#include <unistd.h>

namespace platform {

namespace {

// An address and port as the kernel prints them: "0100007F:1F90". Each 32-bit word of the
// address is printed as the number its bytes, in network order, make in memory, so copying the
// number back into memory gives the bytes again.
bool parseEndpoint(const QByteArray& text, QHostAddress* address, quint16* port)
{
    const qsizetype colon = text.indexOf(':');
    if (colon != 8 && colon != 32)
        return false;
    bool ok = false;
    const uint number = text.sliced(colon + 1).toUInt(&ok, 16);
    if (!ok || number > 0xFFFF)
        return false;
    *port = quint16(number);
    quint8 bytes[16];
    for (qsizetype word = 0; word < colon / 8; ++word) {
        const quint32 value = text.sliced(word * 8, 8).toUInt(&ok, 16);
        if (!ok)
            return false;
        std::memcpy(bytes + word * 4, &value, 4);
    }
    if (colon == 8) {
        quint32 ip4 = 0;
        for (int i = 0; i < 4; ++i)
            ip4 = (ip4 << 8) | bytes[i];
        *address = QHostAddress(ip4);
    } else {
        *address = QHostAddress(bytes);
    }
    return true;
}

bool same(const QHostAddress& a, const QHostAddress& b)
{
    return a.isEqual(b, QHostAddress::TolerantConversion);
}

} // namespace

std::optional<unsigned> tcpSocketOwner(QByteArrayView table, const QHostAddress& address,
                                       quint16 port, const QHostAddress& peerAddress,
                                       quint16 peerPort)
{
    // "sl local_address rem_address st tx_queue:rx_queue tr:tm->when retrnsmt uid ..."
    for (const QByteArray& line : table.toByteArray().split('\n')) {
        const QList<QByteArray> fields = line.simplified().split(' ');
        QHostAddress local, remote;
        quint16 localPort = 0, remotePort = 0;
        if (fields.size() < 8 || !parseEndpoint(fields[1], &local, &localPort) ||
            !parseEndpoint(fields[2], &remote, &remotePort))
            continue;
        if (localPort != port || remotePort != peerPort || !same(local, address) ||
            !same(remote, peerAddress))
            continue;
        bool ok = false;
        const uint uid = fields[7].toUInt(&ok);
        if (ok)
            return uid;
    }
    return std::nullopt;
}

bool isOwnUsersPeer(const QHostAddress& peerAddress, quint16 peerPort,
                    const QHostAddress& localAddress, quint16 localPort)
{
    for (const char* path : {"/proc/net/tcp", "/proc/net/tcp6"}) {
        QFile file(QString::fromLatin1(path));
        if (!file.open(QIODevice::ReadOnly))
            continue;
        // The peer's own socket: its end is the peer's address, its other end ours.
        const std::optional<unsigned> owner =
            tcpSocketOwner(file.readAll(), peerAddress, peerPort, localAddress, localPort);
        if (owner)
            return *owner == unsigned(geteuid());
    }
    return false;
}

} // namespace platform
