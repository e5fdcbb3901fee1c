#pragma once
// A dialog built from a template: either a top-level modal dialog (doModal) or a modeless child
// page (create). The object lives before and after its window, as a page object does: the
// window is built by doModal/create and torn down by destroyWindow (or by its parent), and
// onDestroy runs while the controls still exist.
//
// Everything here runs on the user-interface thread. Calls from another thread go through
// UiBridge (ui_bridge.h).

#include <QPoint>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <map>
#include <span>

#include "framework/dialog_template.h"
#include "framework/ids.h"
#include "framework/message_map.h"

class QFont;
class QWidget;

namespace fw {

class TabControl;

// The font a template asks for, mapped to a font of this desktop with the same pixel height
// (8 points at 96 dpi: 11 logical pixels).
QFont dialogFont(const DialogTemplate& dialogTemplate);
// Object name of a template control's widget ("ctl1001"), for style sheets.
QString controlObjectName(int id);

class Dialog {
public:
    // Template looked up in the resources the program handed over (setResources).
    explicit Dialog(int templateId);
    explicit Dialog(const DialogTemplate& dialogTemplate);
    virtual ~Dialog();

    Dialog(const Dialog&) = delete;
    Dialog& operator=(const Dialog&) = delete;

    const DialogTemplate& dialogTemplate() const { return *template_; }

    // Runs the dialog modally over `owner` and returns the end code (IDOK, IDCANCEL or what was
    // given to endDialog); -1 when the template is empty. The window is destroyed (onDestroy)
    // before this returns.
    int doModal(QWidget* owner = nullptr);
    // Ends the modal run with `code` once control returns to its event loop.
    void endDialog(int code);

    // Builds the window as a child of `parent` (a page). Runs onInitDialog. False when the
    // template is empty or the window already exists.
    bool create(QWidget* parent);
    // Destroys the window (onDestroy first). Safe to call when there is none.
    void destroyWindow();

    // The dialog's window while it exists, else nullptr.
    QWidget* widget() const { return window_; }
    bool isModal() const { return modal_; }

    // Controls by template id (nullptr or neutral results for an unknown id).
    QWidget* item(int id) const;
    template <class T>
    T* itemAs(int id) const {
        return dynamic_cast<T*>(item(id));
    }
    TabControl* tabControl(int id) const;

    void setItemText(int id, const QString& text);
    QString itemText(int id) const;
    // At most `maxChars` characters of the text (a buffer of maxChars + 1 with its terminator).
    QString itemTextLimited(int id, int maxChars) const;
    void enableItem(int id, bool enable = true);
    bool isItemEnabled(int id) const;
    void showItem(int id, bool show = true);
    void checkItem(int id, bool checked = true);
    bool isItemChecked(int id) const;

    // The control's text as an integer: optional leading blanks, an optional '-' (signed only),
    // decimal digits up to the first non-digit. Not translatable or out of range: 0 and
    // *translated false. A negative signed value comes back as its 32-bit two's complement.
    std::uint32_t itemInt(int id, bool* translated = nullptr, bool isSigned = true) const;
    void setItemInt(int id, std::uint32_t value, bool isSigned = true);

    // Drop-down lists. addString returns the new item's index (-1 for no list) and keeps the
    // selection as it was (none at first). setCurSel with an index out of range clears it.
    int addString(int id, const QString& text);
    void setCurSel(int id, int index);
    int curSel(int id) const;  // -1 when nothing is selected

    // Puts `control` in place of template control `id`: same id, rectangle, enabled and visible
    // state and tab position; the template's widget is deleted. The dialog's window owns the
    // new control. Buttons among them send Clicked notifications.
    bool attachControl(int id, QWidget* control);

    // Timers of the window by id; setting a running id restarts it. False without a window.
    bool setTimer(int id, int milliseconds);
    void killTimer(int id);
    bool isTimerRunning(int id) const;

    // Routes a notification through the message map (custom controls may send their own).
    void notify(int id, Notify code);

protected:
    // Called once the controls exist. Return true to let the framework set the focus.
    virtual bool onInitDialog() { return true; }
    // Called when the window is being destroyed, controls still alive, timers already stopped.
    virtual void onDestroy() {}
    virtual void onTimer(int /*id*/) {}
    // Left double-click on the dialog or a control that lets mouse input through; `pos` is in
    // pixels of the dialog's client area.
    virtual void onLButtonDblClk(QPoint /*pos*/) {}
    // Id 1 without a handler, and Enter on a default button with id 1.
    virtual void onOK() { endDialog(IDOK); }
    // Id 2 without a handler, Escape and the window's close button.
    virtual void onCancel() { endDialog(IDCANCEL); }

    virtual std::span<const MessageEntry> messageMap() const { return {}; }

private:
    class PageWindow;
    class ModalWindow;
    friend class PageWindow;
    friend class ModalWindow;

    void buildControls();
    void registerControl(int id, QWidget* control);
    void windowDestroyed();
    void timerFired(int qtTimerId);
    void doubleClicked(QPoint pos);

    const DialogTemplate* template_;
    QWidget* window_ = nullptr;
    ModalWindow* modalWindow_ = nullptr;
    bool modal_ = false;
    bool ended_ = false;
    int endCode_ = IDCANCEL;
    std::map<int, QPointer<QWidget>> controls_;  // template id -> widget
    std::map<int, int> timers_;                  // our id -> Qt timer id
};

}  // namespace fw
