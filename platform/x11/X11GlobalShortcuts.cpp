#include "X11GlobalShortcuts.h"

#include "X11Connection.h"

#include <QDebug>
#include <QSocketNotifier>

#include <cctype>

namespace {

// The locks a user may have on: a grab is made for each combination of them, since the server
// matches the modifier state exactly.
constexpr std::uint16_t kLockMasks[] = {0, XCB_MOD_MASK_LOCK, XCB_MOD_MASK_2,
                                        XCB_MOD_MASK_LOCK | XCB_MOD_MASK_2};
constexpr std::uint8_t kBadAccess = 10;

std::uint16_t modifierMask(Qt::KeyboardModifiers modifiers)
{
    std::uint16_t mask = 0;
    if (modifiers & Qt::ShiftModifier)
        mask |= XCB_MOD_MASK_SHIFT;
    if (modifiers & Qt::ControlModifier)
        mask |= XCB_MOD_MASK_CONTROL;
    if (modifiers & Qt::AltModifier)
        mask |= XCB_MOD_MASK_1;
    if (modifiers & Qt::MetaModifier)
        mask |= XCB_MOD_MASK_4;
    return mask;
}

// The X keysym of a Qt key; 0 for keys left out.
std::uint32_t keysymOf(int key)
{
    if (key >= 0x20 && key <= 0x7e) // Latin-1 keysyms are their characters, unshifted.
        return std::uint32_t(std::tolower(key));
    if (key >= Qt::Key_F1 && key <= Qt::Key_F24)
        return 0xffbe + std::uint32_t(key - Qt::Key_F1);
    switch (key) {
    case Qt::Key_Escape:
        return 0xff1b;
    case Qt::Key_Tab:
        return 0xff09;
    case Qt::Key_Backspace:
        return 0xff08;
    case Qt::Key_Return:
        return 0xff0d;
    case Qt::Key_Insert:
        return 0xff63;
    case Qt::Key_Delete:
        return 0xffff;
    case Qt::Key_Pause:
        return 0xff13;
    case Qt::Key_Print:
        return 0xff61;
    case Qt::Key_Home:
        return 0xff50;
    case Qt::Key_End:
        return 0xff57;
    case Qt::Key_Left:
        return 0xff51;
    case Qt::Key_Up:
        return 0xff52;
    case Qt::Key_Right:
        return 0xff53;
    case Qt::Key_Down:
        return 0xff54;
    case Qt::Key_PageUp:
        return 0xff55;
    case Qt::Key_PageDown:
        return 0xff56;
    default:
        return 0;
    }
}

} // namespace

X11GlobalShortcuts::X11GlobalShortcuts(QObject* parent) : GlobalShortcuts(parent)
{
    QString error;
    connection_ = X11Connection::open(&error);
    if (!connection_) {
        qWarning().noquote() << "Global shortcuts are off:" << error;
        return;
    }
    notifier_ = new QSocketNotifier(xcb_get_file_descriptor(connection_->get()),
                                    QSocketNotifier::Read, this);
    connect(notifier_, &QSocketNotifier::activated, this, &X11GlobalShortcuts::readEvents);
}

X11GlobalShortcuts::~X11GlobalShortcuts()
{
    if (connection_)
        ungrabAll();
}

std::uint8_t X11GlobalShortcuts::keycodeOf(std::uint32_t keysym) const
{
    const xcb_setup_t* setup = xcb_get_setup(connection_->get());
    const int count = setup->max_keycode - setup->min_keycode + 1;
    XReply<xcb_get_keyboard_mapping_reply_t> reply(xcb_get_keyboard_mapping_reply(
        connection_->get(),
        xcb_get_keyboard_mapping(connection_->get(), setup->min_keycode, std::uint8_t(count)),
        nullptr));
    if (!reply || reply->keysyms_per_keycode == 0)
        return 0;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(reply.get());
    const int length = xcb_get_keyboard_mapping_keysyms_length(reply.get());
    for (int i = 0; i < length; ++i)
        if (keysyms[i] == keysym)
            return std::uint8_t(setup->min_keycode + i / reply->keysyms_per_keycode);
    return 0;
}

bool X11GlobalShortcuts::grab(const Grab& grab)
{
    xcb_connection_t* c = connection_->get();
    xcb_void_cookie_t cookies[std::size(kLockMasks)];
    for (std::size_t i = 0; i < std::size(kLockMasks); ++i)
        cookies[i] = xcb_grab_key_checked(c, 1, connection_->root(), grab.modifiers | kLockMasks[i],
                                          grab.keycode, XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
    bool taken = false;
    for (xcb_void_cookie_t cookie : cookies) {
        std::unique_ptr<xcb_generic_error_t, X11Connection::FreeDeleter> error(
            xcb_request_check(c, cookie));
        taken = taken || (error && error->error_code == kBadAccess);
    }
    if (taken)
        for (std::uint16_t lock : kLockMasks)
            xcb_ungrab_key(c, grab.keycode, connection_->root(), grab.modifiers | lock);
    return !taken;
}

void X11GlobalShortcuts::ungrabAll()
{
    for (const Grab& grab : grabs_)
        for (std::uint16_t lock : kLockMasks)
            xcb_ungrab_key(connection_->get(), grab.keycode, connection_->root(),
                           grab.modifiers | lock);
    grabs_.clear();
    xcb_flush(connection_->get());
}

void X11GlobalShortcuts::setShortcuts(const QList<Shortcut>& shortcuts)
{
    QHash<QString, Status> statuses;
    for (const Shortcut& shortcut : shortcuts)
        statuses.insert(shortcut.id, Status::Unsupported);
    if (!connection_) {
        setStatuses(statuses);
        return;
    }
    ungrabAll();
    for (const Shortcut& shortcut : shortcuts) {
        if (shortcut.keys.count() != 1)
            continue;
        const Grab wanted{shortcut.id, keycodeOf(keysymOf(shortcut.keys[0].key())),
                          modifierMask(shortcut.keys[0].keyboardModifiers())};
        if (wanted.keycode == 0)
            continue;
        if (grab(wanted)) {
            grabs_.push_back(wanted);
            statuses.insert(shortcut.id, Status::Active);
        } else {
            qWarning().noquote() << "Another program holds the global shortcut"
                                 << shortcut.keys.toString();
            statuses.insert(shortcut.id, Status::TakenByAnotherProgram);
        }
    }
    xcb_flush(connection_->get());
    setStatuses(statuses);
    // Replies read above may have queued events the notifier will not announce again.
    readEvents();
}

void X11GlobalShortcuts::readEvents()
{
    const std::uint16_t relevant =
        XCB_MOD_MASK_SHIFT | XCB_MOD_MASK_CONTROL | XCB_MOD_MASK_1 | XCB_MOD_MASK_4;
    while (std::unique_ptr<xcb_generic_event_t, X11Connection::FreeDeleter> event{
        xcb_poll_for_event(connection_->get())}) {
        const std::uint8_t type = event->response_type & 0x7f;
        if (type == XCB_KEY_RELEASE) {
            lastReleaseTime_ = reinterpret_cast<xcb_key_release_event_t*>(event.get())->time;
            continue;
        }
        if (type != XCB_KEY_PRESS)
            continue;
        const auto* press = reinterpret_cast<xcb_key_press_event_t*>(event.get());
        if (press->time == lastReleaseTime_ && press->time != 0)
            continue;
        QString id;
        for (const Grab& grab : grabs_)
            if (grab.keycode == press->detail && grab.modifiers == (press->state & relevant))
                id = grab.id;
        // After the loop: a receiver may change the shortcuts and with them grabs_.
        if (!id.isEmpty())
            Q_EMIT activated(id);
    }
    if (xcb_connection_has_error(connection_->get()) && notifier_)
        notifier_->setEnabled(false);
}
