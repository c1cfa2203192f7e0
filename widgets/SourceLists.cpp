#include "SourceLists.h"

#include "capture/AudioChoice.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QIcon>
#include <QRegularExpression>
#include <QScreen>

namespace sourcelists {

namespace {

std::function<AudioSourceListing()>& lister()
{
    static std::function<AudioSourceListing()> current;
    return current;
}

} // namespace

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

AudioSourceListing audioSources()
{
    return lister() ? lister()() : listAudioSources();
}

void setAudioLister(std::function<AudioSourceListing()> lister_)
{
    lister() = std::move(lister_);
}

void fillAudioInputs(QComboBox* list, const AudioSourceListing& listing)
{
    list->clear();
    QStringList choices;
    for (const AudioInputDevice& mic : listing.microphones)
        choices << audiochoice::microphone(QString::fromStdString(mic.name));
    choices << QString::fromLatin1(kSystemAudio);
    for (const AudioInputDevice& mic : listing.microphones)
        choices << audiochoice::systemPlusMicrophone(QString::fromStdString(mic.name));
    for (const QString& choice : std::as_const(choices))
        list->addItem(audioChoiceText(choice, listing), choice);
    for (const AudioApplication& app : listing.applications) {
        const QString choice = audiochoice::application(QString::fromStdString(app.name));
        list->addItem(QIcon::fromTheme(QString::fromStdString(app.iconName)),
                      audioChoiceText(choice, listing), choice);
    }
}

void fillAudioInputs(QComboBox* list)
{
    fillAudioInputs(list, audioSources());
}

QString audioChoiceText(const QString& stored, const AudioSourceListing& listing)
{
    const auto described = [&listing](const QString& name) {
        for (const AudioInputDevice& mic : listing.microphones)
            if (QString::fromStdString(mic.name) == name)
                return QString::fromStdString(mic.description);
        return name;
    };
    const QLatin1String systemPlus(audiochoice::kSystemPlusPrefix);
    const QLatin1String application(audiochoice::kApplicationPrefix);
    if (stored == QLatin1String(kSystemAudio))
        return QCoreApplication::translate("MainWindow", "System Audio");
    if (stored.startsWith(systemPlus))
        return QCoreApplication::translate("SourceLists", "System Audio + %1")
            .arg(described(stored.mid(systemPlus.size())));
    if (stored.startsWith(application))
        return QCoreApplication::translate("SourceLists", "Application: %1")
            .arg(stored.mid(application.size()));
    return described(stored);
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

void selectAudioChoice(QComboBox* list, const QString& stored)
{
    if (stored.isEmpty() || selectByDataOrText(list, stored))
        return;
    list->addItem(audioChoiceText(stored, {}), stored);
    list->setCurrentIndex(list->count() - 1);
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
