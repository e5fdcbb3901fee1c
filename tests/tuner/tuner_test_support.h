#pragma once
// Shared pieces of the Tuner tests: a loopback socket that plays the modem and catches what the
// page sends, and a fixture with a shown page in a scratch directory (for the channel file).

#include <QApplication>
#include <QDir>
#include <QSlider>
#include <QTemporaryDir>
#include <QWidget>

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "bitmap_button.h"
#include "brix_tuner.h"
#include "channels/channel_table.h"
#include "display_controls.h"
#include "link/link_state.h"

namespace brix::testing {

using Bytes = std::vector<std::uint8_t>;

// A UDP socket on 127.0.0.1 standing in for the modem.
class ModemSocket {
public:
    ModemSocket() {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        EXPECT_EQ(::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        socklen_t len = sizeof a;
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~ModemSocket() { ::close(fd_); }
    ModemSocket(const ModemSocket&) = delete;
    ModemSocket& operator=(const ModemSocket&) = delete;

    LinkEndpoints endpoints() const {
        return LinkEndpoints{INADDR_LOOPBACK, 0, INADDR_LOOPBACK, port_};
    }

    // Everything that has arrived (loopback delivers during the send).
    std::vector<Bytes> drain() {
        std::vector<Bytes> out;
        for (;;) {
            Bytes buf(2048);
            const ssize_t n = ::recv(fd_, buf.data(), buf.size(), MSG_DONTWAIT);
            if (n < 0)
                break;
            buf.resize(static_cast<std::size_t>(n));
            out.push_back(std::move(buf));
        }
        return out;
    }

private:
    int fd_ = -1;
    std::uint16_t port_ = 0;
};

inline Bytes header(std::uint16_t type, std::uint16_t length) {
    Bytes b(6, 0xFF);
    for (std::uint16_t word : {std::uint16_t(0x7779), type, length}) {
        b.push_back(std::uint8_t(word));
        b.push_back(std::uint8_t(word >> 8));
    }
    return b;
}
inline void append16(Bytes& b, std::uint16_t v) {
    b.push_back(std::uint8_t(v));
    b.push_back(std::uint8_t(v >> 8));
}
inline Bytes tuneFrequencyFrame(std::uint16_t f) {
    Bytes b = header(5, 2);
    append16(b, f);
    return b;
}
inline Bytes tuneChannelFrame(std::uint16_t f, std::uint16_t code) {
    Bytes b = header(18, 4);
    append16(b, f);
    append16(b, code);
    return b;
}
inline Bytes rfQueryFrame() {
    return header(6, 12);
}

// The values an RF report and a statistics report would leave in the link state.
inline void setLinkValues(std::uint16_t rxF, std::uint16_t txF, std::uint16_t rxCode,
                          std::uint16_t txCode) {
    LinkState& st = linkState();
    st.rxFrequency = rxF;
    st.txFrequency = txF;
    st.rxRateCode = rxCode;
    st.txRateCode = txCode;
}
inline void setLinkRates(std::uint32_t rxPacket, std::uint32_t grant, std::uint32_t txFragment,
                         std::int32_t txLevel, std::uint32_t retransmit) {
    LinkState& st = linkState();
    st.rxPacketRate = rxPacket;
    st.grantRate = grant;
    st.txFragmentRate = txFragment;
    st.txLevel = txLevel;
    st.retransmitRate = retransmit;
}

// A prepared link on loopback (no thread), a shown page in a fresh current directory.
class TunerTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(scratch_.isValid());
        previousDir_ = QDir::currentPath();
        ASSERT_TRUE(QDir::setCurrent(scratch_.path()));
        linkStop();
        linkReset();
        ASSERT_TRUE(linkOpen(modem.endpoints()));
        modem.drain();  // the first RfQuery
        linkState().activity = -1;
    }
    void TearDown() override {
        page.reset();
        host.reset();
        linkStop();
        linkReset();
        QDir::setCurrent(previousDir_);
    }

    // Constructs the page and creates its window in a shown host of the tab's page size.
    void createPage() {
        host = std::make_unique<QWidget>();
        host->resize(520, 320);
        page = std::make_unique<BrixTuner>();
        ASSERT_TRUE(page->create(host.get()));
        page->widget()->move(10, 30);
        page->widget()->show();
        host->show();
        QApplication::processEvents();
    }

    QWidget* control(int id) const { return page->item(id); }
    void click(int id) {
        auto* button = qobject_cast<QAbstractButton*>(control(id));
        ASSERT_NE(button, nullptr) << id;
        button->click();
    }
    void setSlider(int id, int position) {
        auto* slider = qobject_cast<QSlider*>(control(id));
        ASSERT_NE(slider, nullptr) << id;
        slider->setValue(position);
    }
    QString scratchPath(const QString& name) const { return scratch_.filePath(name); }

    ModemSocket modem;
    std::unique_ptr<QWidget> host;
    std::unique_ptr<BrixTuner> page;

private:
    QTemporaryDir scratch_;
    QString previousDir_;
};

}  // namespace brix::testing
