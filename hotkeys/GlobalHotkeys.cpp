#include "GlobalHotkeys.h"

#include <QCoreApplication>
#include <QJsonDocument>
#include <QJsonObject>
#include <QKeySequence>

namespace {
const QString kActionKey = QStringLiteral("action");
const QString kHotkeyKey = QStringLiteral("hotkey");
const QString kEnabledKey = QStringLiteral("enabled");
// More than any real file holds; a hostile one cannot make loading slow.
constexpr int kMaxEntries = 16;
constexpr int kMaxHotkeyLength = 64;
} // namespace

QList<GlobalHotkey> GlobalHotkeys::defaults()
{
    return {{kStartStop, QStringLiteral("Ctrl+Alt+R"), true},
            {kPause, QStringLiteral("Ctrl+Alt+P"), true}};
}

QList<GlobalHotkey> GlobalHotkeys::fromFile(const QByteArray& bytes)
{
    QList<GlobalHotkey> result = defaults();
    const QJsonDocument document = QJsonDocument::fromJson(bytes);
    const QJsonArray array = document.object().value(kMember).toArray();
    for (int i = 0; i < array.size() && i < kMaxEntries; ++i) {
        const QJsonObject object = array.at(i).toObject();
        const QString hotkey = object.value(kHotkeyKey).toString();
        if (hotkey.size() > kMaxHotkeyLength || !refusal(hotkey).isEmpty())
            continue;
        for (GlobalHotkey& known : result) {
            if (known.action == object.value(kActionKey).toString()) {
                known.hotkey = QKeySequence(hotkey).toString();
                known.enabled = object.value(kEnabledKey).toBool(true);
            }
        }
    }
    return result;
}

QJsonArray GlobalHotkeys::toJson(const QList<GlobalHotkey>& hotkeys)
{
    QJsonArray array;
    for (const GlobalHotkey& hotkey : hotkeys)
        array.append(QJsonObject{{kActionKey, hotkey.action},
                                 {kHotkeyKey, hotkey.hotkey},
                                 {kEnabledKey, hotkey.enabled}});
    return array;
}

QString GlobalHotkeys::refusal(const QString& hotkey)
{
    const QKeySequence sequence(hotkey);
    const auto tr = [](const char* text) {
        return QCoreApplication::translate("GlobalHotkeys", text);
    };
    if (sequence.count() != 1 || sequence[0].key() == Qt::Key_unknown)
        return tr("A global shortcut is one key with Alt or Super held, for example Ctrl+Alt+R.");
    const Qt::KeyboardModifiers modifiers = sequence[0].keyboardModifiers();
    if (!(modifiers & (Qt::AltModifier | Qt::MetaModifier)))
        return tr("%1 stays with the other programs: a global shortcut needs Alt or Super, "
                  "for example Ctrl+Alt+R.")
            .arg(sequence.toString());
    return {};
}
