#pragma once

#include <QByteArrayView>
#include <QHostAddress>

#include <optional>

namespace platform {

// The uid owning the TCP socket whose own end is (address, port) and whose other end is
// (peerAddress, peerPort), found in table: the text of /proc/net/tcp or /proc/net/tcp6.
// Nullopt when no line matches.
std::optional<unsigned> tcpSocketOwner(QByteArrayView table, const QHostAddress& address,
                                       quint16 port, const QHostAddress& peerAddress,
                                       quint16 peerPort);

// Whether the other end of a local TCP connection (peerAddress:peerPort, with this side at
// localAddress:localPort) belongs to a process of this user. Any user can reach the loopback
// address; the kernel's socket tables name the owner of each end. False when it cannot be told.
bool isOwnUsersPeer(const QHostAddress& peerAddress, quint16 peerPort,
                    const QHostAddress& localAddress, quint16 localPort);

} // namespace platform
