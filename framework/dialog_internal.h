#pragma once
// What the files of Dialog (dialog.cpp, dialog_controls.cpp, dialog_items.cpp) share: how a
// label keeps its text with its mnemonic marker.

#include <QString>

namespace fw {

// The text of a label as given, '&' markers included.
inline constexpr char kMnemonicText[] = "fwMnemonicText";

// "&Frequency" -> "Frequency", "&&" -> "&": for a label whose mnemonic has no target.
QString stripMnemonic(const QString& text);

}  // namespace fw
