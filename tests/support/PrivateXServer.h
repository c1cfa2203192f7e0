#pragma once

#include <QByteArray>
#include <QProcess>
#include <QSize>
#include <QStringList>

namespace testsupport {

// A private Xvfb server on a free display number, for tests that need a display unlike the
// test script's (an extension switched off, another size). It does not reset when its last
// client leaves, so a test may connect more than once. Stopped with the object.
class PrivateXServer
{
public:
    // extraArguments are appended to Xvfb's, e.g. {"-extension", "Composite"} to switch one off.
    PrivateXServer(QSize size, const QStringList& extraArguments);
    ~PrivateXServer();
    PrivateXServer(const PrivateXServer&) = delete;
    PrivateXServer& operator=(const PrivateXServer&) = delete;

    static bool available();
    // Starts the server and waits (up to 15 s) until it names its display.
    bool start();
    // ":<number>", once started.
    QByteArray display() const { return display_; }

private:
    QSize size_;
    QStringList extraArguments_;
    QProcess server_;
    QByteArray display_;
};

} // namespace testsupport
