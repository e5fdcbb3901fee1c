#include "framework/message_box.h"

#include <QApplication>
#include <QEventLoop>
#include <QMessageBox>
#include <QPushButton>
#include <QWindow>

#include <mutex>
#include <utility>
#include <vector>

#include "framework/ui_bridge.h"

namespace fw {

namespace {

std::mutex handlerMutex;
MessageBoxHandler handler;

MessageBoxHandler currentHandler() {
    std::lock_guard lock(handlerMutex);
    return handler;
}

struct ButtonSpec {
    QMessageBox::StandardButton button;
    int result;
};

std::vector<ButtonSpec> buttonsFor(unsigned flags) {
    switch (flags & 0xFu) {
        case MB_OKCANCEL:
            return {{QMessageBox::Ok, IDOK}, {QMessageBox::Cancel, IDCANCEL}};
        case MB_ABORTRETRYIGNORE:
            return {{QMessageBox::Abort, IDABORT},
                    {QMessageBox::Retry, IDRETRY},
                    {QMessageBox::Ignore, IDIGNORE}};
        case MB_YESNOCANCEL:
            return {{QMessageBox::Yes, IDYES},
                    {QMessageBox::No, IDNO},
                    {QMessageBox::Cancel, IDCANCEL}};
        case MB_YESNO:
            return {{QMessageBox::Yes, IDYES}, {QMessageBox::No, IDNO}};
        case MB_RETRYCANCEL:
            return {{QMessageBox::Retry, IDRETRY}, {QMessageBox::Cancel, IDCANCEL}};
        default:
            return {{QMessageBox::Ok, IDOK}};
    }
}

QMessageBox::Icon iconFor(unsigned flags) {
    switch (flags & 0xF0u) {
        case MB_ICONERROR:
            return QMessageBox::Critical;
        case MB_ICONQUESTION:
            return QMessageBox::Question;
        case MB_ICONWARNING:
            return QMessageBox::Warning;
        case MB_ICONINFORMATION:
            return QMessageBox::Information;
        default:
            return QMessageBox::NoIcon;
    }
}

// The answer when the box is closed without a button: Cancel if there is one, else the only
// button (OK), else none.
int closeResult(const std::vector<ButtonSpec>& buttons) {
    for (const ButtonSpec& b : buttons) {
        if (b.result == IDCANCEL)
            return IDCANCEL;
    }
    return buttons.size() == 1 ? buttons.front().result : IDCANCEL;
}

// The tool's own window: the active one, else the first shown top-level window.
QWidget* mainWindow() {
    if (QWidget* active = QApplication::activeWindow(); active != nullptr)
        return active;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        if (w->isVisible() && w->windowType() != Qt::Popup && w->windowType() != Qt::ToolTip)
            return w;
    }
    return nullptr;
}

int showBox(const MessageBoxRequest& request) {
    if (const MessageBoxHandler hook = currentHandler())
        return hook(request);

    const std::vector<ButtonSpec> buttons = buttonsFor(request.flags);
    QMessageBox box(iconFor(request.flags), request.caption, request.text, QMessageBox::NoButton,
                    request.owner.data());
    for (const ButtonSpec& b : buttons)
        box.addButton(b.button);
    box.setDefaultButton(buttons.front().button);
    for (const ButtonSpec& b : buttons) {
        if (b.result == closeResult(buttons))
            box.setEscapeButton(box.button(b.button));
    }

    // A box without an owner leaves the other windows usable; with one, only that window
    // waits. Either way our own loop runs it, so a cancelled bridge call can end it.
    box.setWindowModality(request.owner ? Qt::WindowModal : Qt::NonModal);
    if (!request.owner) {
        // Not modal, but kept above the tool's window, so that a click there does not bury
        // the question behind it.
        if (QWidget* above = mainWindow()) {
            box.winId();
            box.windowHandle()->setTransientParent(above->windowHandle());
        }
    }
    QEventLoop loop;
    QObject::connect(&box, &QMessageBox::finished, &loop, &QEventLoop::quit);
    QPointer<QMessageBox> guard(&box);
    if (!UiBridge::whenCancelled([guard] {
            if (QMessageBox* open = guard.data(); open != nullptr)
                open->reject();
        })) {
        return IDCANCEL;
    }
    box.show();
    loop.exec(QEventLoop::DialogExec);

    const QAbstractButton* clicked = box.clickedButton();
    for (const ButtonSpec& b : buttons) {
        if (clicked != nullptr && clicked == box.button(b.button))
            return b.result;
    }
    return closeResult(buttons);
}

}  // namespace

int messageBox(QWidget* owner, const QString& text, const QString& caption, unsigned flags) {
    MessageBoxRequest request{owner, text, caption, flags, false};
    if (UiBridge::isUiThread())
        return showBox(request);
    request.fromOtherThread = true;
    return uiBridge().call([request] { return showBox(request); }).value_or(IDCANCEL);
}

void setMessageBoxHandler(MessageBoxHandler newHandler) {
    std::lock_guard lock(handlerMutex);
    handler = std::move(newHandler);
}

}  // namespace fw
