#include "hotkeys/HotkeyLineEdit.h"

#include <QDialog>
#include <QPushButton>
#include <QShortcut>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

class tst_HotkeyLineEdit : public QObject
{
    Q_OBJECT

private slots:
    void keyPressRecordsOneCombination_data();
    void keyPressRecordsOneCombination();
    void disabledEditRecordsNothing();
    void keysGoToTheEditNotToShortcutsOfItsWindow_data();
    void keysGoToTheEditNotToShortcutsOfItsWindow();
};

void tst_HotkeyLineEdit::keyPressRecordsOneCombination_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("expectedText");

    // An empty expectation means nothing is recorded.
    QTest::newRow("Ctrl alone") << int(Qt::Key_Control) << int(Qt::ControlModifier) << "";
    QTest::newRow("Shift alone") << int(Qt::Key_Shift) << int(Qt::ShiftModifier) << "";
    QTest::newRow("Alt alone") << int(Qt::Key_Alt) << int(Qt::AltModifier) << "";
    QTest::newRow("Meta alone") << int(Qt::Key_Meta) << int(Qt::MetaModifier) << "";
    QTest::newRow("Ctrl held with Shift")
        << int(Qt::Key_Shift) << int(Qt::ControlModifier | Qt::ShiftModifier) << "";
    QTest::newRow("F5 alone") << int(Qt::Key_F5) << int(Qt::NoModifier) << "F5";
    QTest::newRow("Ctrl+Shift+X") << int(Qt::Key_X) << int(Qt::ControlModifier | Qt::ShiftModifier)
                                  << "Ctrl+Shift+X";
    QTest::newRow("Alt+F4") << int(Qt::Key_F4) << int(Qt::AltModifier) << "Alt+F4";
    QTest::newRow("plain letter") << int(Qt::Key_Q) << int(Qt::NoModifier) << "Q";
    QTest::newRow("Escape is a key like any other")
        << int(Qt::Key_Escape) << int(Qt::NoModifier) << "Esc";
    QTest::newRow("Backspace is a key like any other")
        << int(Qt::Key_Backspace) << int(Qt::NoModifier) << "Backspace";
    QTest::newRow("Return") << int(Qt::Key_Return) << int(Qt::ControlModifier) << "Ctrl+Return";
}

void tst_HotkeyLineEdit::keyPressRecordsOneCombination()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, expectedText);

    HotkeyLineEdit edit;
    QVERIFY(edit.isReadOnly());
    edit.setText("Ctrl+H");
    QSignalSpy changed(&edit, &HotkeyLineEdit::hotkeyChanged);

    QTest::keyPress(&edit, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    if (expectedText.isEmpty()) {
        QCOMPARE(changed.count(), 0);
        QCOMPARE(edit.text(), QString("Ctrl+H"));
        QVERIFY(edit.keySequence().isEmpty());
        return;
    }
    QCOMPARE(edit.text(), expectedText);
    QCOMPARE(changed.count(), 1);
    const QKeySequence sequence = changed.at(0).at(0).value<QKeySequence>();
    QCOMPARE(sequence.count(), 1);
    QCOMPARE(sequence, QKeySequence(expectedText));
    QCOMPARE(edit.keySequence(), sequence);
}

void tst_HotkeyLineEdit::disabledEditRecordsNothing()
{
    HotkeyLineEdit edit;
    edit.setText("F1");
    edit.setEnabled(false);
    QSignalSpy changed(&edit, &HotkeyLineEdit::hotkeyChanged);
    QTest::keyClick(&edit, Qt::Key_F5);
    QCOMPARE(edit.text(), QString("F1"));
    QCOMPARE(changed.count(), 0);
}

void tst_HotkeyLineEdit::keysGoToTheEditNotToShortcutsOfItsWindow_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("modifiers");
    QTest::addColumn<QString>("expectedText");

    QTest::newRow("a window shortcut") << int(Qt::Key_H) << int(Qt::ControlModifier) << "Ctrl+H";
    QTest::newRow("Escape") << int(Qt::Key_Escape) << int(Qt::NoModifier) << "Esc";
    QTest::newRow("Enter") << int(Qt::Key_Return) << int(Qt::NoModifier) << "Return";
}

void tst_HotkeyLineEdit::keysGoToTheEditNotToShortcutsOfItsWindow()
{
    QFETCH(int, key);
    QFETCH(int, modifiers);
    QFETCH(QString, expectedText);

    QDialog dialog;
    auto* layout = new QVBoxLayout(&dialog);
    auto* edit = new HotkeyLineEdit(&dialog);
    auto* button = new QPushButton("OK", &dialog);
    button->setDefault(true);
    layout->addWidget(edit);
    layout->addWidget(button);
    connect(button, &QPushButton::clicked, &dialog, &QDialog::accept);
    auto* shortcut = new QShortcut(QKeySequence("Ctrl+H"), &dialog);
    QSignalSpy fired(shortcut, &QShortcut::activated);
    QSignalSpy finished(&dialog, &QDialog::finished);

    dialog.show();
    QVERIFY(QTest::qWaitForWindowActive(&dialog));
    edit->setFocus();
    QTest::keyClick(edit, Qt::Key(key), Qt::KeyboardModifiers(modifiers));

    QCOMPARE(edit->text(), expectedText);
    QCOMPARE(fired.count(), 0);
    QCOMPARE(finished.count(), 0);
    QVERIFY(dialog.isVisible());
}

QTEST_MAIN(tst_HotkeyLineEdit)
#include "tst_HotkeyLineEdit.moc"
