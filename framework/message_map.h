#pragma once
// Message maps: one static table per dialog class binding (control id, notification) to a
// member handler. In the class body:
//
//     FW_DECLARE_MESSAGE_MAP()
//
// and in the .cpp file:
//
//     FW_BEGIN_MESSAGE_MAP(BrixScanner)
//         FW_ON_CLICKED(1000, onSet)
//         FW_ON_CLICKED(1050, onGet)
//     FW_END_MESSAGE_MAP()
//
// Handlers are `void handler()` members of the class (private is fine).

#include <cstdint>
#include <iterator>
#include <span>

namespace fw {

class Dialog;

enum class Notify : std::uint8_t {
    Clicked,         // push button, check box, bitmap button
    SelChange,       // drop-down list: the user picked an item
    TabSelChanging,  // tab control: about to leave the current tab (curSel is the old one)
    TabSelChange,    // tab control: a new tab is selected (curSel is the new one)
};

using Handler = void (Dialog::*)();

struct MessageEntry {
    int id;
    Notify code;
    Handler handler;
};

}  // namespace fw

#define FW_DECLARE_MESSAGE_MAP() \
protected:                       \
    std::span<const ::fw::MessageEntry> messageMap() const override;

#define FW_BEGIN_MESSAGE_MAP(Class)                                 \
    std::span<const ::fw::MessageEntry> Class::messageMap() const { \
        using FwThisClass = Class;                                  \
        static constexpr ::fw::MessageEntry fwEntries[] = {
#define FW_ON_NOTIFY(code, id, fn) {(id), (code), static_cast<::fw::Handler>(&FwThisClass::fn)},

#define FW_ON_CLICKED(id, fn) FW_ON_NOTIFY(::fw::Notify::Clicked, id, fn)
#define FW_ON_SELCHANGE(id, fn) FW_ON_NOTIFY(::fw::Notify::SelChange, id, fn)
#define FW_ON_TAB_SELCHANGING(id, fn) FW_ON_NOTIFY(::fw::Notify::TabSelChanging, id, fn)
#define FW_ON_TAB_SELCHANGE(id, fn) FW_ON_NOTIFY(::fw::Notify::TabSelChange, id, fn)

// The last entry is a terminator so that an empty map still compiles.
#define FW_END_MESSAGE_MAP()                                                               \
    { -1, ::fw::Notify::Clicked, nullptr }                                                 \
    }                                                                                      \
    ;                                                                                      \
    return std::span<const ::fw::MessageEntry>(fwEntries).first(std::size(fwEntries) - 1); \
    }
