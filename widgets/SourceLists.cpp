#include "SourceLists.h"

#include <QAudioDevice>
#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMediaDevices>
#include <QRegularExpression>
#include <QScreen>

namespace sourcelists {

QString screenEntryText(const QScreen* screen)
{
    const QRect geometry = screen->geometry();
    if (screen->name().isEmpty())
        return QCoreApplication::translate("SourceLists", "Display %1")
            .arg(QGuiApplication::screens().indexOf(const_cast<QScreen*>(screen)) + 1);
    return QStringLiteral("\"%1\" %2x%3, %4DPI")
        .arg(screen->name())
        .arg(geometry.width())
        .arg(geometry.height())
        .arg(qRound(screen->logicalDotsPerInch()));
}

void fillDisplays(QComboBox* list)
{
    list->clear();
    for (const QScreen* screen : QGuiApplication::screens())
        list->addItem(screenEntryText(screen), screen->geometry());
}

void fillAudioInputs(QComboBox* list)
{
    list->clear();
    for (const QAudioDevice& device : QMediaDevices::audioInputs())
        list->addItem(device.description(), device.description());
    list->addItem(QCoreApplication::translate("MainWindow", "System Audio"),
                  QString::fromLatin1(kSystemAudio));
}

bool selectByDataOrText(QComboBox* list, const QString& value)
{
    int index = list->findData(value);
    if (index < 0)
        index = list->findText(value);
    if (index < 0)
        return false;
    list->setCurrentIndex(index);
    return true;
}

QString rectangleText(const QRect& rect)
{
    return QStringLiteral("X:%1, Y:%2, %3 X %4")
        .arg(rect.left())
        .arg(rect.top())
        .arg(rect.width())
        .arg(rect.height());
}

QRect rectangleFromText(const QString& text)
{
    static const QRegularExpression pattern(
        QStringLiteral("^X:(-?\\d+), Y:(-?\\d+), (\\d+) X (\\d+)$"));
    const QRegularExpressionMatch match = pattern.match(text.trimmed());
    if (!match.hasMatch())
        return {};
    return QRect(match.captured(1).toInt(), match.captured(2).toInt(), match.captured(3).toInt(),
                 match.captured(4).toInt());
}

} // namespace sourcelists
