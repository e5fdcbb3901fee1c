// A dialog's window and its life: modal or a page, built, run and destroyed; the templates'
// resources; notifications through the message map; timers.
#include "framework/dialog.h"

#include <QDialog>
#include <QEventLoop>
#include <QMouseEvent>
#include <QTimerEvent>

#include <algorithm>

#include "framework/resources.h"

namespace fw {

// The window of a page: a plain child widget.
class Dialog::PageWindow final : public QWidget {
public:
    PageWindow(Dialog* owner, QWidget* parent) : QWidget(parent), owner_(owner) {}
    ~PageWindow() override {
        if (owner_ != nullptr)
            owner_->windowDestroyed();
    }
    void detach() { owner_ = nullptr; }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (owner_ != nullptr)
            owner_->timerFired(event->timerId());
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (owner_ != nullptr && event->button() == Qt::LeftButton) {
            owner_->doubleClicked(event->position().toPoint());
        }
    }

private:
    Dialog* owner_;
};

// The window of a modal dialog: Escape and the close button take the cancel path.
class Dialog::ModalWindow final : public QDialog {
public:
    ModalWindow(Dialog* owner, QWidget* parent) : QDialog(parent), owner_(owner) {}
    ~ModalWindow() override {
        if (owner_ != nullptr)
            owner_->windowDestroyed();
    }
    void detach() { owner_ = nullptr; }
    void reject() override {
        if (owner_ != nullptr)
            owner_->onCancel();
    }

protected:
    void timerEvent(QTimerEvent* event) override {
        if (owner_ != nullptr)
            owner_->timerFired(event->timerId());
    }
    void mouseDoubleClickEvent(QMouseEvent* event) override {
        if (owner_ != nullptr && event->button() == Qt::LeftButton) {
            owner_->doubleClicked(event->position().toPoint());
        }
    }

private:
    Dialog* owner_;
};

namespace {
const Resources* gResources = nullptr;

const DialogTemplate& templateById(int id) {
    static constexpr DialogTemplate kNone{};
    const DialogTemplate* t = gResources != nullptr ? gResources->findDialogTemplate(id) : nullptr;
    return t != nullptr ? *t : kNone;
}
}  // namespace

void setResources(const Resources* resources) {
    gResources = resources;
}

const Resources* resources() {
    return gResources;
}

Dialog::Dialog(int templateId) : template_(&templateById(templateId)) {}

Dialog::Dialog(const DialogTemplate& dialogTemplate) : template_(&dialogTemplate) {}

Dialog::~Dialog() {
    // A window still open here loses its owner first: onDestroy of a derived class cannot run
    // any more. Owners call destroyWindow() before deleting a page.
    if (window_ == nullptr)
        return;
    if (modalWindow_ != nullptr)
        modalWindow_->detach();
    else
        static_cast<PageWindow*>(window_)->detach();
    QWidget* window = window_;
    window_ = nullptr;
    modalWindow_ = nullptr;
    delete window;
}

int Dialog::doModal(QWidget* owner) {
    if (template_->id == 0 || window_ != nullptr)
        return -1;
    modal_ = true;
    ended_ = false;
    endCode_ = IDCANCEL;

    auto* window = new ModalWindow(this, owner);
    window_ = window;
    modalWindow_ = window;
    const unsigned style = template_->style;
    Qt::WindowFlags flags = (style & ds::AppWindow) ? Qt::Window : Qt::Dialog;
    flags |= Qt::CustomizeWindowHint;
    if (style & ds::Caption)
        flags |= Qt::WindowTitleHint;
    if (style & ds::SysMenu)
        flags |= Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
    if (style & ds::MinimizeBox)
        flags |= Qt::WindowMinimizeButtonHint;
    window->setWindowFlags(flags);
    window->setWindowTitle(QString::fromUtf8(template_->caption));
    window->setSizeGripEnabled(false);
    buildControls();

    onInitDialog();
    int code = endCode_;
    if (!ended_) {
        if (owner != nullptr) {
            // Modal to its owner only: the other top-level windows (boxes opened for the
            // link thread among them) keep taking clicks and keys.
            window->setWindowModality(Qt::WindowModal);
            code = window->exec();
        } else {
            // An ownerless window blocks nothing; exec() would make it application-modal and
            // every box it does not own would then stay unanswerable.
            QEventLoop loop;
            QObject::connect(window, &QDialog::finished, &loop, &QEventLoop::exit);
            window->show();
            code = loop.exec(QEventLoop::DialogExec);
        }
        if (ended_)
            code = endCode_;
    }
    destroyWindow();
    modal_ = false;
    return code;
}

void Dialog::endDialog(int code) {
    ended_ = true;
    endCode_ = code;
    if (modalWindow_ != nullptr)
        modalWindow_->done(code);
}

bool Dialog::create(QWidget* parent) {
    if (template_->id == 0 || window_ != nullptr)
        return false;
    modal_ = false;
    auto* window = new PageWindow(this, parent);
    window_ = window;
    if (parent == nullptr || (template_->style & ds::Popup)) {
        window->setWindowFlag(Qt::Window, true);
        window->setWindowTitle(QString::fromUtf8(template_->caption));
    }
    buildControls();
    onInitDialog();
    if (window_ != nullptr)
        window_->setVisible((template_->style & ds::Visible) != 0);
    return window_ != nullptr;
}

void Dialog::destroyWindow() {
    if (window_ == nullptr)
        return;
    delete window_;  // the window's destructor calls windowDestroyed()
}

void Dialog::windowDestroyed() {
    // Qt stops the window's timers with it; forget them before the page looks.
    timers_.clear();
    onDestroy();
    controls_.clear();
    window_ = nullptr;
    modalWindow_ = nullptr;
}

void Dialog::notify(int id, Notify code) {
    for (const MessageEntry& entry : messageMap()) {
        if (entry.id == id && entry.code == code && entry.handler != nullptr) {
            (this->*entry.handler)();
            return;
        }
    }
    if (code == Notify::Clicked && id == IDOK)
        onOK();
    else if (code == Notify::Clicked && id == IDCANCEL)
        onCancel();
}

void Dialog::timerFired(int qtTimerId) {
    for (const auto& [id, qtId] : timers_) {
        if (qtId == qtTimerId) {
            onTimer(id);
            return;
        }
    }
}

void Dialog::doubleClicked(QPoint pos) {
    onLButtonDblClk(pos);
}

bool Dialog::setTimer(int id, int milliseconds) {
    if (window_ == nullptr)
        return false;
    killTimer(id);
    const int qtId = window_->startTimer(std::max(milliseconds, 0));
    if (qtId == 0)
        return false;
    timers_[id] = qtId;
    return true;
}

void Dialog::killTimer(int id) {
    const auto it = timers_.find(id);
    if (it == timers_.end())
        return;
    if (window_ != nullptr)
        window_->killTimer(it->second);
    timers_.erase(it);
}

bool Dialog::isTimerRunning(int id) const {
    return timers_.count(id) != 0;
}

}  // namespace fw
