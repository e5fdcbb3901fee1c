#include "automation.h"

#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QEventLoop>
#include <QLocalServer>
#include <QLocalSocket>
#include <QPixmap>
#include <QPointer>
#include <QTabBar>
#include <QTimer>

#include <cstdio>
#include <memory>
#include <optional>
#include <vector>

#include "app/main_dialog.h"
#include "app/tool_app.h"
#include "display_controls.h"
#include "framework/dialog.h"
#include "framework/help.h"
#include "framework/message_box.h"
#include "framework/tab_control.h"
#include "framework/ui_bridge.h"

namespace brix {

namespace {

// A command line longer than this ends the connection: nothing legitimate comes near it.
constexpr qint64 kMaxLineBytes = 64 * 1024;

QString escaped(const QString& text) {
    QString out;
    out.reserve(text.size());
    for (const QChar c : text) {
        if (c == u'\\')
            out += QStringLiteral("\\\\");
        else if (c == u'\n')
            out += QStringLiteral("\\n");
        else if (c == u'\t')
            out += QStringLiteral("\\t");
        else if (c == u'\r')
            out += QStringLiteral("\\r");
        else
            out += c;
    }
    return out;
}

QString unescaped(const QString& text) {
    QString out;
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text[i] != u'\\' || i + 1 == text.size()) {
            out += text[i];
            continue;
        }
        const QChar c = text[++i];
        out += c == u'n' ? QChar(u'\n') : c == u't' ? QChar(u'\t') : c == u'r' ? QChar(u'\r') : c;
    }
    return out;
}

// A box held open until a client answers it. Boxes can nest (a box asked while another waits);
// the innermost is the one shown and answered.
struct HeldBox {
    fw::MessageBoxRequest request;
    int closeAnswer = fw::IDCANCEL;
    std::optional<int> answer;
    QEventLoop* loop = nullptr;

    void finish(int result) {
        if (answer)
            return;
        answer = result;
        if (loop != nullptr)
            loop->quit();
    }
};
std::vector<std::shared_ptr<HeldBox>> heldBoxes;  // user-interface thread only

// What closing the box would answer: Cancel where there is one, else OK.
int closeAnswerFor(unsigned flags) {
    switch (flags & 0xFu) {
        case fw::MB_OK:
            return fw::IDOK;
        default:
            return fw::IDCANCEL;
    }
}

int holdBox(const fw::MessageBoxRequest& request) {
    auto box = std::make_shared<HeldBox>();
    box->request = request;
    box->closeAnswer = closeAnswerFor(request.flags);
    // A cancelled bridge call (the link stopping) answers as closing the box would. The hook may
    // run after this function has returned, so it only holds a weak reference.
    const std::weak_ptr<HeldBox> weak = box;
    if (!fw::UiBridge::whenCancelled([weak] {
            if (auto b = weak.lock())
                b->finish(b->closeAnswer);
        })) {
        return box->closeAnswer;
    }
    QEventLoop loop;
    box->loop = &loop;
    heldBoxes.push_back(box);
    if (!box->answer)
        loop.exec(QEventLoop::DialogExec);
    box->loop = nullptr;
    std::erase(heldBoxes, box);
    return box->answer.value_or(box->closeAnswer);
}

fw::Dialog* dialogById(int id) {
    MainDialog* main = theApp.mainDialog;
    if (main == nullptr || main->widget() == nullptr)
        return nullptr;
    switch (id) {
        case MainDialog::kTemplateId:
            return main;
        case 129:
            return main->page(MainDialog::kTunerTab);
        case 130:
            return main->page(MainDialog::kConsoleTab);
        case 131:
            return main->page(MainDialog::kAdvancedTab);
        case 282:
            return main->page(MainDialog::kScannerTab);
        default:
            return nullptr;
    }
}

class Server : public QObject {
public:
    explicit Server(QObject* parent) : QObject(parent), server_(new QLocalServer(this)) {
        connect(server_, &QLocalServer::newConnection, this, &Server::accept);
    }

    bool listen(const QString& path) {
        QLocalServer::removeServer(path);
        server_->setSocketOptions(QLocalServer::UserAccessOption);
        return server_->listen(path);
    }

private:
    struct Reply {
        QStringList lines;
        QString status;
    };

    static Reply ok(const QString& value = {}) {
        return {{}, value.isEmpty() ? QStringLiteral("ok") : QStringLiteral("ok ") + value};
    }
    static Reply err(const QString& why) { return {{}, QStringLiteral("err ") + why}; }

    void accept() {
        while (QLocalSocket* socket = server_->nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] { serve(socket); });
        }
    }

    void serve(QLocalSocket* socket) {
        while (socket->canReadLine()) {
            const QString line = QString::fromUtf8(socket->readLine()).trimmed();
            if (line.isEmpty())
                continue;
            const Reply reply = run(line);
            QByteArray out;
            for (const QString& l : reply.lines)
                out += "> " + escaped(l).toUtf8() + '\n';
            out += reply.status.toUtf8() + '\n';
            socket->write(out);
            socket->flush();
        }
        if (socket->bytesAvailable() > kMaxLineBytes)
            socket->abort();
    }

    // Two numbers after the command: dialog and control.
    static bool ids(const QStringList& words, int& dialog, int& control) {
        if (words.size() < 3)
            return false;
        bool a = false, b = false;
        dialog = words[1].toInt(&a);
        control = words[2].toInt(&b);
        return a && b;
    }

    Reply run(const QString& line) {
        const QStringList words = line.split(u' ', Qt::SkipEmptyParts);
        const QString command = words.front();
        if (closing_)
            return err(QStringLiteral("closing"));
        if (command == u"ping")
            return ok();
        if (command == u"box")
            return box();
        if (command == u"answer")
            return answer(words);
        if (command == u"quit")
            return quit();
        if (command == u"help")
            return ok(escaped(fw::helpDocumentPath()));
        if (command == u"tab")
            return tab(words);
        if (command == u"rows")
            return rows(words);
        if (command == u"grab")
            return grab(line.section(u' ', 1).trimmed());

        int dialogId = 0, controlId = 0;
        if (!ids(words, dialogId, controlId))
            return err(QStringLiteral("unknown command or missing dialog and control ids"));
        fw::Dialog* dialog = dialogById(dialogId);
        if (dialog == nullptr)
            return err(QStringLiteral("no dialog %1").arg(dialogId));
        QWidget* control = dialog->item(controlId);
        if (control == nullptr)
            return err(QStringLiteral("no control %1 in dialog %2").arg(controlId).arg(dialogId));

        if (command == u"text")
            return ok(escaped(dialog->itemText(controlId)));
        if (command == u"settext") {
            dialog->setItemText(controlId, unescaped(line.section(u' ', 3)));
            return ok();
        }
        if (command == u"enabled")
            return ok(dialog->isItemEnabled(controlId) ? QStringLiteral("1") : QStringLiteral("0"));
        if (command == u"checked")
            return ok(dialog->isItemChecked(controlId) ? QStringLiteral("1") : QStringLiteral("0"));
        if (command == u"value")
            return value(control);
        if (command == u"click")
            return click(control);
        return err(QStringLiteral("unknown command ") + command);
    }

    static Reply value(QWidget* control) {
        if (const auto* display = dynamic_cast<const FrequencyDisplay*>(control))
            return ok(QString::number(display->value()));
        if (const auto* bar = dynamic_cast<const LevelBar*>(control))
            return ok(QString::number(bar->lastValue()));
        if (const auto* lamp = dynamic_cast<const LedIndicator*>(control))
            return ok(QString::number(lamp->state()));
        return err(QStringLiteral("not a display"));
    }

    static Reply click(QWidget* control) {
        auto* button = qobject_cast<QAbstractButton*>(control);
        if (button == nullptr)
            return err(QStringLiteral("not a button"));
        // As for a user: a disabled button, or one on a hidden (disabled) page, does nothing.
        if (!button->isEnabled() || !button->isVisible())
            return err(QStringLiteral("not clickable (disabled or hidden)"));
        // Later, so that a handler that opens a modal window does not hold up this reply.
        QTimer::singleShot(0, button, [b = QPointer<QAbstractButton>(button)] {
            if (b)
                b->click();
        });
        return ok();
    }

    static Reply tab(const QStringList& words) {
        const fw::Dialog* main = dialogById(MainDialog::kTemplateId);
        fw::TabControl* tabs = main ? main->tabControl(MainDialog::kTabsId) : nullptr;
        if (tabs == nullptr)
            return err(QStringLiteral("no tab control"));
        if (words.size() < 2)
            return ok(QString::number(tabs->curSel()));
        bool valid = false;
        const int index = words[1].toInt(&valid);
        if (!valid || index < 0 || index >= tabs->itemCount())
            return err(QStringLiteral("no tab ") + words[1]);
        // Through the tab bar, as a click would: the selection notifications follow.
        tabs->tabBar()->setCurrentIndex(index);
        return ok(QString::number(tabs->curSel()));
    }

    static Reply rows(const QStringList& words) {
        const fw::Dialog* console = dialogById(130);
        const auto* list =
            console ? qobject_cast<const QAbstractItemView*>(console->item(1029)) : nullptr;
        const QAbstractItemModel* model = list ? list->model() : nullptr;
        if (model == nullptr)
            return err(QStringLiteral("no Console list"));
        const int count = model->rowCount();
        const int wanted = words.size() > 1 ? qBound(0, words[1].toInt(), count) : 0;
        Reply reply = ok(QString::number(count));
        for (int r = count - wanted; r < count; ++r) {
            reply.lines << model->index(r, 0).data().toString() + u'\t' +
                               model->index(r, 1).data().toString();
        }
        return reply;
    }

    static Reply box() {
        if (heldBoxes.empty())
            return ok(QStringLiteral("none"));
        const fw::MessageBoxRequest& r = heldBoxes.back()->request;
        Reply reply = ok();
        reply.lines << r.caption << r.text << QString::number(r.flags);
        return reply;
    }

    static Reply answer(const QStringList& words) {
        if (heldBoxes.empty())
            return err(QStringLiteral("no box"));
        if (words.size() < 2)
            return err(QStringLiteral("answer what?"));
        int result = 0;
        if (words[1] == u"IDOK")
            result = fw::IDOK;
        else if (words[1] == u"IDCANCEL")
            result = fw::IDCANCEL;
        else if (words[1] == u"IDRETRY")
            result = fw::IDRETRY;
        else
            result = words[1].toInt();
        if (result <= 0)
            return err(QStringLiteral("unknown answer ") + words[1]);
        heldBoxes.back()->finish(result);
        return ok();
    }

    static Reply grab(const QString& file) {
        const fw::Dialog* main = dialogById(MainDialog::kTemplateId);
        if (main == nullptr)
            return err(QStringLiteral("no main window"));
        if (file.isEmpty())
            return err(QStringLiteral("grab needs a file name"));
        if (!main->widget()->window()->grab().save(file, "PNG"))
            return err(QStringLiteral("cannot write ") + file);
        return ok();
    }

    Reply quit() {
        fw::Dialog* main = dialogById(MainDialog::kTemplateId);
        if (main == nullptr)
            return err(QStringLiteral("no main window"));
        // Boxes first, as a user would close them, then Exit. Nothing is served afterwards: the
        // pages are about to go.
        closing_ = true;
        for (const auto& b : heldBoxes)
            b->finish(b->closeAnswer);
        QTimer::singleShot(0, this, [this] {
            server_->close();
            if (fw::Dialog* m = dialogById(MainDialog::kTemplateId)) {
                if (auto* exit = qobject_cast<QAbstractButton*>(m->item(MainDialog::kExitId)))
                    exit->click();
                else
                    m->endDialog(fw::IDCANCEL);
            }
        });
        return ok();
    }

    QLocalServer* server_;
    bool closing_ = false;
};

}  // namespace

bool startAutomation() {
    const QString path = qEnvironmentVariable("BRIX_AUTOMATION");
    if (path.isEmpty())
        return true;
    auto* server = new Server(QCoreApplication::instance());
    if (!server->listen(path)) {
        std::fprintf(stderr, "brixtool: cannot listen for automation on %s\n", qPrintable(path));
        return false;
    }
    fw::setMessageBoxHandler(holdBox);
    return true;
}

}  // namespace brix
