#pragma once

#include <QRect>
#include <QString>

class QComboBox;
class QScreen;

// The lists of displays and audio inputs that the main window, schedules and macros offer.
namespace sourcelists {

// The untranslated item data of the system sound entry.
inline constexpr char kSystemAudio[] = "System Audio";

// How a display is named in the lists: its name, size and logical DPI.
QString screenEntryText(const QScreen* screen);
// One entry per display, its geometry as item data.
void fillDisplays(QComboBox* list);
// The audio input devices by description (also the item data), then "System Audio".
void fillAudioInputs(QComboBox* list);
// Selects the entry whose item data, else whose text, is value; false when none is.
bool selectByDataOrText(QComboBox* list, const QString& value);

// "X:%1, Y:%2, %3 X %4", the way a rectangle is shown, and back (null when it is not one).
QString rectangleText(const QRect& rect);
QRect rectangleFromText(const QString& text);

} // namespace sourcelists
