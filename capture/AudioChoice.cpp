#include "AudioChoice.h"

namespace audiochoice {

QString microphone(const QString& deviceName)
{
    return deviceName;
}

QString systemPlusMicrophone(const QString& deviceName)
{
    return QLatin1String(kSystemPlusPrefix) + deviceName;
}

QString application(const QString& name)
{
    return QLatin1String(kApplicationPrefix) + name;
}

std::vector<AudioSourceChoice> sourcesOf(const QString& stored)
{
    using Kind = AudioSourceChoice::Kind;
    if (stored.isEmpty() || stored == QLatin1String(kNoAudio))
        return {};
    if (stored == QLatin1String(kSystemAudio))
        return {{Kind::SystemSound, {}}};
    if (stored.startsWith(QLatin1String(kSystemPlusPrefix)))
        return {{Kind::SystemSound, {}},
                {Kind::Microphone, stored.mid(int(sizeof kSystemPlusPrefix) - 1).toStdString()}};
    if (stored.startsWith(QLatin1String(kApplicationPrefix)))
        return {{Kind::Application, stored.mid(int(sizeof kApplicationPrefix) - 1).toStdString()}};
    // "default" is what macros wrote for the default input.
    if (stored == QLatin1String("default"))
        return {{Kind::Microphone, {}}};
    return {{Kind::Microphone, stored.toStdString()}};
}

} // namespace audiochoice
