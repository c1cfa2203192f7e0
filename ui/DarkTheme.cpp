#include "DarkTheme.h"

#include <QApplication>
#include <QImage>
#include <QPainter>
#include <QPalette>
#include <QPolygonF>
#include <QTemporaryDir>

namespace {

// Dialogs' own style sheets add to this one. Text keeps a WCAG contrast of at least 4.5:1 against
// its background; that is why hovered and selected items are a deep blue and not the light
// accent, which serves for borders only. Qt draws tray messages itself in a pale balloon where
// the desktop has no notification service; its text stays dark (a style sheet keeps a parent's
// palette from reaching the labels, so the balloon's own dark text colour would not).
const char* const kThemeStyleSheet = R"(
QToolTip {background-color: #2a2a2a;color: white;border: 1px solid gray;padding: 5px;font-size: 12px;}
QMainWindow, QDialog, QMessageBox { background-color: #181D3D; }
QLabel, QCheckBox, QRadioButton, QGroupBox { color: #ffffff; }
QBalloonTip QLabel { color: #000000; }
QBalloonTip QPushButton { background-color: transparent; padding: 0px; min-width: 0px; }
QToolButton, QPushButton {
    background-color: #4B5386; color: #ffffff; border: none; border-radius: 4px; padding: 4px 8px;
}
QPushButton { padding: 5px 16px; }
QPushButton[class="edit-delete-btn"] { padding: 2px 6px; }
QToolButton:hover, QPushButton:hover { background-color: #1F5FA8; }
QPushButton:pressed { background-color: #3C4370; }
QToolButton:disabled, QPushButton:disabled { background-color: #2E3358; color: #A0A5C8; }
QComboBox, QAbstractSpinBox, QLineEdit {
    background-color: #4B5386; color: #ffffff; border: 1px solid #4B5386; border-radius: 4px;
    padding: 3px 6px; selection-background-color: #1F5FA8; selection-color: #ffffff;
}
QLineEdit { background-color: #2E3358; }
QComboBox:hover, QAbstractSpinBox:hover, QLineEdit:hover { border: 1px solid #41A7F6; }
QComboBox:disabled, QAbstractSpinBox:disabled, QLineEdit:disabled {
    background-color: #2E3358; color: #A0A5C8;
}
QComboBox QAbstractItemView {
    background-color: #181D3D; color: #ffffff; selection-background-color: #1F5FA8;
}
QAbstractSpinBox { padding-right: 18px; }
QAbstractSpinBox::up-button, QAbstractSpinBox::down-button {
    subcontrol-origin: border; width: 16px; border: none; background-color: #4B5386;
}
QAbstractSpinBox::up-button { subcontrol-position: top right; border-top-right-radius: 4px; }
QAbstractSpinBox::down-button { subcontrol-position: bottom right; border-bottom-right-radius: 4px; }
QAbstractSpinBox::up-button:hover, QAbstractSpinBox::down-button:hover { background-color: #1F5FA8; }
QAbstractSpinBox::up-button:disabled, QAbstractSpinBox::down-button:disabled {
    background-color: #2E3358;
}
QAbstractSpinBox::up-arrow { image: url(%1/up.png); width: 8px; height: 5px; }
QAbstractSpinBox::up-arrow:disabled { image: url(%1/up-disabled.png); }
QAbstractSpinBox::down-arrow, QComboBox::down-arrow {
    image: url(%1/down.png); width: 8px; height: 5px;
}
QAbstractSpinBox::down-arrow:disabled, QComboBox::down-arrow:disabled {
    image: url(%1/down-disabled.png);
}
QComboBox::drop-down { border: none; width: 18px; }
QMenu { background-color: #181D3D; color: #ffffff; border: 1px solid #4B5386; }
QMenu::item:selected { background-color: #1F5FA8; }
)";

const QColor kThemeText(Qt::white);
const QColor kThemeDisabledText(0xA0, 0xA5, 0xC8);

// A style sheet draws the arrows of styled fields only from image files, so these are painted
// once into a folder that lasts as long as the program. Twice the size they are shown at, so
// that they stay sharp on high-density screens.
QString paintThemeArrows()
{
    static QTemporaryDir folder;
    if (!folder.isValid())
        return {};
    for (const bool up : {true, false}) {
        for (const bool enabled : {true, false}) {
            QImage image(16, 10, QImage::Format_ARGB32_Premultiplied);
            image.fill(Qt::transparent);
            QPainter painter(&image);
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(Qt::NoPen);
            painter.setBrush(enabled ? kThemeText : kThemeDisabledText);
            const QList<QPointF> corners = up ? QList<QPointF>{{0, 10}, {8, 0}, {16, 10}}
                                              : QList<QPointF>{{0, 0}, {16, 0}, {8, 10}};
            painter.drawPolygon(QPolygonF(corners));
            painter.end();
            image.save(
                folder.filePath(QStringLiteral("%1%2.png")
                                    .arg(up ? QStringLiteral("up") : QStringLiteral("down"),
                                         enabled ? QString() : QStringLiteral("-disabled"))));
        }
    }
    return folder.path();
}

} // namespace

void applyDarkTheme()
{
    static const QString arrowFolder = paintThemeArrows();
    // What the style draws by itself (check marks, frames, views without a style sheet rule)
    // comes from the palette.
    QPalette palette;
    const QColor window(0x18, 0x1D, 0x3D);
    const QColor field(0x2E, 0x33, 0x58);
    const QColor button(0x4B, 0x53, 0x86);
    palette.setColor(QPalette::Window, window);
    palette.setColor(QPalette::Base, field);
    palette.setColor(QPalette::AlternateBase, window);
    palette.setColor(QPalette::Button, button);
    palette.setColor(QPalette::Highlight, QColor(0x1F, 0x5F, 0xA8));
    palette.setColor(QPalette::ToolTipBase, QColor(0x2a, 0x2a, 0x2a));
    palette.setColor(QPalette::Link, QColor(0x41, 0xA7, 0xF6));
    for (const QPalette::ColorRole role :
         {QPalette::WindowText, QPalette::Text, QPalette::ButtonText, QPalette::BrightText,
          QPalette::HighlightedText, QPalette::ToolTipText}) {
        palette.setColor(role, kThemeText);
        palette.setColor(QPalette::Disabled, role, kThemeDisabledText);
    }
    palette.setColor(QPalette::PlaceholderText, kThemeDisabledText);
    QApplication::setPalette(palette);
    qApp->setStyleSheet(QString::fromLatin1(kThemeStyleSheet).arg(arrowFolder));
}
