#include "support/MediaProbe.h"
#include "support/TestSupport.h"
#include "hotkeys/GlobalHotkeys.h"
#include "platform/portal/PortalGlobalShortcuts.h"
#include "platform/x11/X11Connection.h"
#include "platform/x11/X11GlobalShortcuts.h"

#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusVirtualObject>
#include <QElapsedTimer>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <QtTest>

using Status = GlobalShortcuts::Status;
Q_DECLARE_METATYPE(Status)

namespace {

const QString kPortalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString kInterface = QStringLiteral("org.freedesktop.portal.GlobalShortcuts");

QList<GlobalShortcuts::Shortcut> defaultShortcuts()
{
    QList<GlobalShortcuts::Shortcut> shortcuts;
    for (const GlobalHotkey& hotkey : GlobalHotkeys::defaults())
        shortcuts.append({hotkey.action, QKeySequence(hotkey.hotkey), hotkey.action + "!"});
    return shortcuts;
}

// Another program: a focused window of its own connection that records the keys it gets.
struct OtherClient
{
    std::unique_ptr<X11Connection> x = X11Connection::open();
    xcb_window_t window = 0;

    void openFocusedWindow()
    {
        window = xcb_generate_id(x->get());
        const uint32_t mask = XCB_EVENT_MASK_KEY_PRESS;
        xcb_create_window(x->get(), XCB_COPY_FROM_PARENT, window, x->root(), 0, 0, 200, 200, 0,
                          XCB_WINDOW_CLASS_INPUT_OUTPUT, XCB_COPY_FROM_PARENT, XCB_CW_EVENT_MASK,
                          &mask);
        xcb_map_window(x->get(), window);
        xcb_flush(x->get());
        QProcess::execute("xdotool", {"windowfocus", "--sync", QString::number(window)});
    }
    // The keys other than modifiers the window got since the last call.
    int read()
    {
        // Events come before the reply of a request made after them.
        X11Connection::XReply<xcb_get_input_focus_reply_t>(
            xcb_get_input_focus_reply(x->get(), xcb_get_input_focus(x->get()), nullptr));
        X11Connection::XReply<xcb_get_modifier_mapping_reply_t> mapping(
            xcb_get_modifier_mapping_reply(x->get(), xcb_get_modifier_mapping(x->get()), nullptr));
        const xcb_keycode_t* modifiers = xcb_get_modifier_mapping_keycodes(mapping.get());
        const int count = xcb_get_modifier_mapping_keycodes_length(mapping.get());
        int keys = 0;
        while (std::unique_ptr<xcb_generic_event_t, X11Connection::FreeDeleter> event{
            xcb_poll_for_event(x->get())}) {
            const auto* press = reinterpret_cast<xcb_key_press_event_t*>(event.get());
            keys += (event->response_type & 0x7f) == XCB_KEY_PRESS &&
                    std::find(modifiers, modifiers + count, press->detail) == modifiers + count;
        }
        return keys;
    }
    bool grab(uint16_t modifiers, xcb_keycode_t key)
    {
        return !X11Connection::XReply<xcb_generic_error_t>(xcb_request_check(
            x->get(), xcb_grab_key_checked(x->get(), 1, x->root(), modifiers, key,
                                           XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC)));
    }
};

// The desktop portal's GlobalShortcuts, or a portal without it, answering at once.
class FakePortal : public QDBusVirtualObject
{
public:
    bool hasInterface = true;
    QList<PortalShortcut> bound;
    QString session;

    QString introspect(const QString&) const override { return {}; }
    bool handleMessage(const QDBusMessage& message, const QDBusConnection& bus) override
    {
        if (message.member() == "Get" || message.interface() != kInterface) {
            bus.send(hasInterface && message.member() == "Get"
                         ? message.createReply(QVariant::fromValue(QDBusVariant(1u)))
                         : message.createErrorReply(QDBusError::UnknownInterface, "none"));
            return true;
        }
        const auto options = qdbus_cast<QVariantMap>(message.arguments().constLast());
        const QString sender = message.service().mid(1).replace('.', '_');
        const QString request =
            kPortalPath + "/request/" + sender + "/" + options.value("handle_token").toString();
        QVariantMap results;
        if (message.member() == "CreateSession") {
            session = kPortalPath + "/session/" + sender + "/" +
                      options.value("session_handle_token").toString();
            results.insert("session_handle", session);
        } else {
            bound = qdbus_cast<QList<PortalShortcut>>(message.arguments().at(1));
            results.insert("shortcuts", QVariant::fromValue(bound.mid(0, 1)));
        }
        bus.send(message.createReply(QVariant::fromValue(QDBusObjectPath(request))));
        QDBusMessage response =
            QDBusMessage::createSignal(request, "org.freedesktop.portal.Request", "Response");
        response << 0u << results;
        bus.send(response);
        return true;
    }
};

} // namespace

class tst_GlobalShortcuts : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void keysReachTheGrabWhicheverWindowHasTheFocus_data()
    {
        QTest::addColumn<QStringList>("keys"); // xdotool key arguments
        QTest::addColumn<QString>("activated");
        QTest::addColumn<int>("windowPresses");
        QTest::newRow("start/stop") << QStringList{"ctrl+alt+r"} << "startStop" << 0;
        QTest::newRow("pause, Caps Lock on")
            << QStringList{"Caps_Lock", "ctrl+alt+p", "Caps_Lock"} << "pause" << 0;
        QTest::newRow("Ctrl+Shift+R stays with the program")
            << QStringList{"ctrl+shift+r"} << "" << 1;
    }
    void keysReachTheGrabWhicheverWindowHasTheFocus()
    {
        QFETCH(QStringList, keys);
        OtherClient other;
        if (!other.x || QStandardPaths::findExecutable("xdotool").isEmpty())
            QSKIP("Needs an X display and xdotool.");
        X11GlobalShortcuts shortcuts;
        shortcuts.setShortcuts(defaultShortcuts());
        QCOMPARE(shortcuts.status("startStop"), Status::Active);
        other.openFocusedWindow();
        QSignalSpy spy(&shortcuts, &GlobalShortcuts::activated);
        QCOMPARE(QProcess::execute("xdotool", QStringList{"key"} + keys), 0);
        QTEST(other.read(), "windowPresses");
        QFETCH(QString, activated);
        QTRY_COMPARE(spy.count(), activated.isEmpty() ? 0 : 1);
        if (!activated.isEmpty())
            QCOMPARE(spy.first().first().toString(), activated);
        // Nothing is held for the whole desktop that the user did not choose.
        QVERIFY(other.grab(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_SHIFT, 27));
    }

    // Torvane as a user runs it, while another program's window has the focus: the global keys
    // start, pause, resume and stop a recording, `--status` follows, the program gets none of
    // them, and the paused seconds are not in the file.
    void theRecorderFollowsTheKeysOverAnotherProgram()
    {
        OtherClient other;
        if (!other.x || QStandardPaths::findExecutable("xdotool").isEmpty())
            QSKIP("Needs an X display and xdotool.");
        QTemporaryDir root;
        QProcessEnvironment env;
        const QString config = testsupport::programHome(root.path(), &env);
        QVERIFY(!config.isEmpty());
        QProcess torvane;
        torvane.setProcessEnvironment(env);
        torvane.setWorkingDirectory(root.path());
        torvane.start(TORVANE_EXE, {"--hidden"});
        QVERIFY(torvane.waitForStarted());
        const auto status = [&] {
            QProcess command;
            command.setProcessEnvironment(env);
            command.start(TORVANE_EXE, {"--status"});
            command.waitForFinished(20000);
            return QString::fromUtf8(command.readAllStandardOutput()).section(' ', 0, 0).trimmed();
        };
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("idle"), 20000);
        other.openFocusedWindow();
        const auto press = [](const char* keys) {
            return QProcess::execute("xdotool", {"key", keys}) == 0;
        };
        // The recording lasts at most from the start key to the confirmed stop, and is paused
        // at least from the confirmed pause to the resume key: each `--status` takes a while,
        // the longer under a sanitizer, and must not make these bounds too tight.
        QElapsedTimer recorded, paused;
        recorded.start();
        QVERIFY(press("ctrl+alt+r"));
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("recording"), 20000);
        QTest::qWait(1500);
        QVERIFY(press("ctrl+alt+p"));
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("paused"), 10000);
        paused.start();
        QTest::qWait(2500);
        const double pausedSeconds = paused.elapsed() / 1000.0;
        QVERIFY(press("ctrl+alt+p"));
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("recording"), 10000);
        QTest::qWait(1500);
        QVERIFY(press("ctrl+alt+r"));
        QTRY_COMPARE_WITH_TIMEOUT(status(), QStringLiteral("idle"), 20000);
        const double wallSeconds = recorded.elapsed() / 1000.0;
        QCOMPARE(other.read(), 0);
        torvane.terminate();
        QVERIFY(torvane.waitForFinished(20000));

        const QStringList files = QDir(root.filePath("videos")).entryList(QDir::Files);
        QCOMPARE(files.size(), 1);
        testsupport::MediaProbe probe;
        QVERIFY(probe.open(root.filePath("videos/" + files.first())));
        const auto frames = probe.decodeVideo();
        QVERIFY(frames.size() > 1);
        const double seconds = frames.last().seconds - frames.first().seconds;
        // Measured from outside the program, so only the paused time is certain to be missing.
        QVERIFY2(seconds > 2.0 && seconds < wallSeconds - pausedSeconds + 0.5,
                 qPrintable(QStringLiteral("%1 s in the file, %2 s recorded, %3 s paused")
                                .arg(seconds)
                                .arg(wallSeconds)
                                .arg(pausedSeconds)));
    }

    void aCombinationAnotherProgramHoldsIsReportedTaken()
    {
        OtherClient other;
        if (!other.x)
            QSKIP("Needs an X display.");
        QVERIFY(other.grab(XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1, 27)); // Ctrl+Alt+R
        X11GlobalShortcuts shortcuts;
        shortcuts.setShortcuts(defaultShortcuts());
        QCOMPARE(shortcuts.status("startStop"), Status::TakenByAnotherProgram);
        QCOMPARE(shortcuts.status("pause"), Status::Active);
    }

    void portalBindsTheShortcutsAndPassesActivationsOn_data()
    {
        QTest::addColumn<bool>("hasInterface");
        QTest::addColumn<Status>("startStop");
        QTest::addColumn<Status>("pause"); // the fake desktop keeps only the first
        QTest::newRow("portal with GlobalShortcuts")
            << true << Status::Active << Status::Unsupported;
        QTest::newRow("portal without it (GNOME 43)")
            << false << Status::Unsupported << Status::Unsupported;
    }
    void portalBindsTheShortcutsAndPassesActivationsOn()
    {
        QFETCH(bool, hasInterface);
        QProcess daemon;
        daemon.start("dbus-daemon", {"--session", "--nofork", "--print-address=1"});
        QVERIFY(daemon.waitForReadyRead(10000));
        const QString address = QString::fromUtf8(daemon.readLine()).trimmed();
        QDBusConnection desktop = QDBusConnection::connectToBus(address, QTest::currentDataTag());
        FakePortal portal;
        portal.hasInterface = hasInterface;
        QVERIFY(desktop.registerVirtualObject(kPortalPath, &portal, QDBusConnection::SubPath));
        QVERIFY(desktop.registerService("org.freedesktop.portal.Desktop"));
        {
            PortalGlobalShortcuts shortcuts(
                QDBusConnection::connectToBus(address, "client" + address));
            QSignalSpy activated(&shortcuts, &GlobalShortcuts::activated);
            shortcuts.setShortcuts(defaultShortcuts());
            QTRY_VERIFY(shortcuts.status("startStop") != Status::Pending);
            QTEST(shortcuts.status("startStop"), "startStop");
            QTEST(shortcuts.status("pause"), "pause");
            QStringList bound;
            for (const PortalShortcut& s : portal.bound)
                bound << s.id + " " + s.properties.value("description").toString() + " " +
                             s.properties.value("preferred_trigger").toString();
            const QStringList expected{"startStop startStop! CTRL+ALT+r",
                                       "pause pause! CTRL+ALT+p"};
            QCOMPARE(bound, hasInterface ? expected : QStringList{});
            for (const QString& id : QStringList{"pause", "startStop"}) {
                QDBusMessage signal =
                    QDBusMessage::createSignal(kPortalPath, kInterface, "Activated");
                signal << QVariant::fromValue(
                              QDBusObjectPath(portal.session.isEmpty() ? "/x" : portal.session))
                       << id << qulonglong(1) << QVariantMap();
                desktop.send(signal);
            }
            // The unbound shortcut's activation, sent first, is left out.
            QTRY_COMPARE(activated.count(), hasInterface ? 1 : 0);
        }
        daemon.kill();
        daemon.waitForFinished();
    }
};

QTEST_MAIN(tst_GlobalShortcuts)
#include "tst_GlobalShortcuts.moc"
