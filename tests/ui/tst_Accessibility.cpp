// Every control of the main window and of each dialog has an accessible name that says what it
// does, as a screen reader gets it through Qt's accessibility interfaces.
#include "app/SettingsKeys.h"
#include "app/SettingsStore.h"
#include "hotkeys/HotkeyDialog.h"
#include "macro/MacroActionSelectSourceDialog.h"
#include "macro/MacroListDialog.h"
#include "macro/MacroStore.h"
#include "macro/NewMacroDialog.h"
#include "platform/systemd/WindowsTaskScheduler.h"
#include "schedule/NewScheduleDialog.h"
#include "schedule/ScheduleListDialog.h"
#include "schedule/ScheduleStore.h"
#include "support/TestSupport.h"
#include "ui/BG_Mode_Window.h"
#include "ui/MainWindow.h"
#include "ui/WindowSelectorThumbnailView.h"
#include "ui/settings_win.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QGroupBox>
#include <QTabWidget>
#include <QTcpServer>
#include <QtTest>

#include <functional>
#include <memory>

using WindowFactory = std::function<QWidget*()>;
Q_DECLARE_METATYPE(WindowFactory)

namespace {

using A = QAccessible;
const QSet<A::Role> kOperable{A::PushButton,     A::CheckBox,   A::RadioButton,  A::ButtonMenu,
                              A::ButtonDropDown, A::ComboBox,   A::EditableText, A::SpinBox,
                              A::Slider,         A::Dial,       A::List,         A::Table,
                              A::Tree,           A::PageTabList};

// Says what the control is for: not one character, not just icon-font glyphs, not in others.
bool says(QString name, const QStringList& others)
{
    name = name.trimmed();
    return name.size() > 1 && !others.contains(name) &&
           !QRegularExpression(QStringLiteral("^[\\p{Co}\\s]+$")).match(name).hasMatch();
}

bool named(QAccessibleInterface* control)
{
    // Not its value (views report their name as their value, so there is none to mistake) and
    // not the title of its group box, which Qt falls back on but which names the group.
    const auto* widget = qobject_cast<const QWidget*>(control->object());
    const auto* group = widget ? qobject_cast<const QGroupBox*>(widget->parentWidget()) : nullptr;
    const bool view = QSet{A::List, A::Table, A::Tree}.contains(control->role());
    const QStringList others{view ? QString() : control->text(A::Value).trimmed(),
                             group ? group->title() : QString()};
    if (says(control->text(A::Name), others))
        return true;
    for (const auto& [label, relation] : control->relations(A::Label))
        if (says(label->text(A::Name), others))
            return true;
    // On Unix Qt names a combo box by its selection and leaves its purpose to a buddy label;
    // other platforms read the widget's own accessible name.
    return control->role() == A::ComboBox && widget && says(widget->accessibleName(), others);
}

// Each visible operable control without a proper name, as "object name (role): 'name'".
void collectNameless(QAccessibleInterface* node, QStringList* nameless)
{
    if (!node || node->state().invisible)
        return;
    if (kOperable.contains(node->role()) && !named(node))
        *nameless << QStringLiteral("%1 (role %2): '%3'")
                         .arg(node->object() ? node->object()->objectName() : QString(),
                              QString::number(node->role()), node->text(A::Name));
    for (int i = 0; i < node->childCount(); ++i)
        collectNameless(node->child(i), nameless);
}

template <class Window> WindowFactory make()
{
    return [] { return static_cast<QWidget*>(new Window); };
}

} // namespace

class tst_Accessibility : public QObject
{
    Q_OBJECT

private Q_SLOTS:
    void initTestCase()
    {
        testsupport::isolateUserFolders();
        // A port of its own for the main window's tab server, free whatever else runs here.
        QTcpServer probe;
        QVERIFY(probe.listen(QHostAddress::LocalHost));
        SettingsStore::instance().setValue(settings::kTabCaptureGroup, settings::kWebSocketPort,
                                           probe.serverPort());
        // A macro and a schedule, so that their lists have a row with its controls.
        MacroStore::instance().addMacro(MacroItem());
        ScheduleStore::setTaskSchedulerFactory([] { return nullptr; });
        ScheduleStore::instance().addSchedule(ScheduleItem());
    }

    void everyControlIsNamed_data()
    {
        QTest::addColumn<WindowFactory>("make");
        QTest::newRow("main window") << make<MainWindow>();
        QTest::newRow("background bar") << make<BG_Mode_Window>();
        QTest::newRow("hotkeys") << make<HotkeyDialog>();
        QTest::newRow("settings") << make<settings_win>();
        QTest::newRow("schedule list") << make<ScheduleListDialog>();
        QTest::newRow("schedule editor") << make<NewScheduleDialog>();
        QTest::newRow("macro list") << make<MacroListDialog>();
        QTest::newRow("macro editor with a wait") << WindowFactory([] {
            auto* editor = new NewMacroDialog;
            editor->addAction();
            return static_cast<QWidget*>(editor);
        });
        QTest::newRow("macro source action") << make<MacroActionSelectSourceDialog>();
        QTest::newRow("window picker") << make<WindowSelectorThumbnailView>();
    }
    void everyControlIsNamed()
    {
        QFETCH(WindowFactory, make);
        const std::unique_ptr<QWidget> window(make());
        window->show();
        QAccessibleInterface* root = QAccessible::queryAccessibleInterface(window.get());
        QStringList nameless;
        collectNameless(root, &nameless);
        // Every page of each tab widget in turn, as a hidden page's controls are left out.
        for (QTabWidget* tabs : window->findChildren<QTabWidget*>())
            for (int page = 0; page < tabs->count(); ++page) {
                tabs->setCurrentIndex(page);
                collectNameless(root, &nameless);
            }
        // Widgets in item view cells are outside the tree; a screen reader meets them on focus.
        for (const QAbstractItemView* view : window->findChildren<QAbstractItemView*>())
            for (QWidget* cell : view->viewport()->findChildren<QWidget*>())
                collectNameless(QAccessible::queryAccessibleInterface(cell), &nameless);
        nameless.removeDuplicates();
        QVERIFY2(nameless.isEmpty(), qPrintable(nameless.join(QStringLiteral("\n"))));
    }
};

QTEST_MAIN(tst_Accessibility)
#include "tst_Accessibility.moc"
