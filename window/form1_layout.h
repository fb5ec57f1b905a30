// Form1 described apart from any window toolkit: its caption, the message
// boxes' title, the client area, and each control's name, kind, caption,
// rectangle and tab index. Every realisation of the window builds from this,
// so the layout is written once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>

namespace form1_layout {

// Two blanks between "RL" and "USB".
inline constexpr const char* kCaption = "FT232 RL  USB Relais Ansteuerung von Tellmar";
// The caption of every message box.
inline constexpr const char* kApplicationTitle = "pellmon";

// Lengths are in twips: 1440 to the inch, so 15 to a pixel at 96 dots per inch.
inline constexpr int kTwipsPerInch = 1440;
inline constexpr int kClientWidth = 10815;
inline constexpr int kClientHeight = 5265;

// A length in twips as pixels at the given dots per inch.
constexpr int ToPixels(int twips, int dpi)
{
    return twips * dpi / kTwipsPerInch;
}

enum class Kind { PushButton, CheckBox };

struct Control {
    const char* name;
    Kind kind;
    const char* caption;
    int left, top, width, height;  // twips, relative to the client area
    int tabIndex;
};

inline constexpr Control kCommand1{
    "Command1", Kind::PushButton, "Initialisierung USB Schnittstelle", 240, 240, 2295, 1095, 0};
inline constexpr Control kAusgabe{"Ausgabe", Kind::PushButton, "Ausgabe", 3000, 240, 2055, 1095, 2};
inline constexpr Control kCommand2{"Command2", Kind::PushButton, "Alle Relais abgefallen", 5400, 240, 2055, 1095, 3};
inline constexpr Control kCommand3{"Command3", Kind::PushButton, "Schliessen USB Schnittstelle", 8040, 240, 2295, 1095,
                                   1};

// Relay n's box at index n-1. "Relais 1" and "Relais 3" have a blank, the others none.
inline constexpr std::array<Control, 8> kRelayBoxes{{
    {"Check1", Kind::CheckBox, "Relais 1", 360, 2400, 855, 1095, 4},
    {"Check2", Kind::CheckBox, "Relais2", 1440, 2400, 735, 1095, 5},
    {"Check3", Kind::CheckBox, "Relais 3", 2400, 2400, 735, 1095, 6},
    {"Check4", Kind::CheckBox, "Relais4", 3360, 2400, 735, 1095, 7},
    {"Check5", Kind::CheckBox, "Relais5", 4320, 2400, 735, 1095, 8},
    {"Check6", Kind::CheckBox, "Relais6", 5280, 2400, 735, 1095, 9},
    {"Check7", Kind::CheckBox, "Relais7", 6240, 2400, 735, 1095, 10},
    {"Check8", Kind::CheckBox, "Relais8", 7200, 2400, 735, 1095, 11},
}};
// From relay 2 on the boxes stand this far apart; the last one is given the
// same room to its right.
inline constexpr int kBoxPitch = 960;

// The room a relay box may take to its right: up to the next box's left edge.
constexpr int RoomRightOf(std::size_t box)
{
    return box + 1 < kRelayBoxes.size() ? kRelayBoxes.at(box + 1).left : kRelayBoxes.at(box).left + kBoxPitch;
}

// All twelve controls, ordered by their tab index.
constexpr std::array<Control, 12> InTabOrder()
{
    std::array<Control, 12> all{kCommand1, kAusgabe, kCommand2, kCommand3};
    std::copy(kRelayBoxes.begin(), kRelayBoxes.end(), all.begin() + 4);
    std::sort(all.begin(), all.end(), [](const Control& a, const Control& b) { return a.tabIndex < b.tabIndex; });
    return all;
}
inline constexpr std::array<Control, 12> kTabOrder = InTabOrder();

constexpr bool TabIndexesRunFromZeroWithoutGaps()
{
    for (std::size_t i = 0; i < kTabOrder.size(); ++i) {
        if (kTabOrder.at(i).tabIndex != static_cast<int>(i)) {
            return false;
        }
    }
    return true;
}
static_assert(TabIndexesRunFromZeroWithoutGaps());

}  // namespace form1_layout
