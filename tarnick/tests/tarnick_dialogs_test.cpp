// The small dialogs: the port check, the locked host, the about box.
#include "../../lumora/tests/FakeDevices.h"
#include "AboutDlg.h"
#include "ConnectSetDlg.h"
#include "DevSelDlg.h"
#include "MessageBox.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QString>

#include <gtest/gtest.h>

#include <vector>

namespace {

class ConnectSetTest : public testing::Test {
protected:
    void SetUp() override {
        setMessageBoxHandlerForTesting([this](const QString& text) { messages.push_back(text); });
    }
    void TearDown() override { setMessageBoxHandlerForTesting(nullptr); }

    // Fills the port field as typed (or pasted) and presses OK.
    int submitPort(const QString& port) {
        CConnectSetDlg dlg;
        dlg.m_port = 7373;
        dlg.OnInitDialog();
        dlg.m_editPort->setText(port);
        dlg.OnOK();
        accepted = dlg.result() == IDOK ? static_cast<int>(dlg.m_port) : -1;
        return accepted;
    }

    std::vector<QString> messages;
    int accepted = -1;
};

TEST_F(ConnectSetTest, PortsOutsideTheRangeAreRefusedWithTheMessage) {
    for (const char* port : {"0", "", "65536", "abc"}) {
        messages.clear();
        EXPECT_EQ(submitPort(port), -1) << port;
        ASSERT_EQ(messages.size(), 1u) << port;
        EXPECT_EQ(messages[0], QString::fromUtf8("ポート番号は 1～65535 の間の値です"));
    }
}

TEST_F(ConnectSetTest, LeadingDigitsCount) {
    EXPECT_EQ(submitPort("1"), 1);
    EXPECT_EQ(submitPort("65535"), 65535);
    EXPECT_EQ(submitPort("80abc"), 80);
    EXPECT_TRUE(messages.empty());
}

TEST_F(ConnectSetTest, LockedHostShowsTheLoopbackNameGreyedOut) {
    CConnectSetDlg dlg;
    dlg.m_host = "localhost";
    dlg.m_port = 7373;
    dlg.m_hostLocked = 1;
    dlg.m_autoStartCheck = 1;
    dlg.OnInitDialog();
    EXPECT_FALSE(dlg.m_editHost->isEnabled());
    EXPECT_EQ(dlg.m_editHost->text(), "localhost");
    EXPECT_EQ(dlg.m_editPort->text(), "7373");
    EXPECT_TRUE(dlg.m_checkAutoStart->isChecked());
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_STREQ(dlg.m_host, "localhost");
    EXPECT_EQ(dlg.m_autoStartCheck, 1);
}

TEST_F(ConnectSetTest, AnEditableHostIsReturnedAsTyped) {
    CConnectSetDlg dlg;
    dlg.m_hostLocked = 0;
    dlg.m_port = 7373;
    dlg.OnInitDialog();
    EXPECT_TRUE(dlg.m_editHost->isEnabled());
    dlg.m_editHost->setText("カメラ室.local");
    dlg.m_checkAutoStart->setChecked(false);
    dlg.OnOK();
    EXPECT_STREQ(dlg.m_host, "カメラ室.local");
    EXPECT_EQ(dlg.m_autoStartCheck, 0);
}

TEST_F(ConnectSetTest, DeviceListShowsDisplayNamesAndReturnsTheChosenRecord) {
    fakedevices::Scope devices({{u"Cam", u"", u"/dev/v4l/by-id/usb-cam-a"},
                                {u"Cam", u"", u"/dev/v4l/by-id/usb-cam-b"},
                                {u"Test Pattern", u"built in", u"pattern:0"}});
    CDevSelDlg dlg;
    dlg.OnInitDialog();
    ASSERT_EQ(dlg.m_combo->count(), 3);
    EXPECT_EQ(dlg.m_combo->itemText(0), "Cam (1)");
    EXPECT_EQ(dlg.m_combo->itemText(1), "Cam (2)");
    EXPECT_EQ(dlg.m_combo->itemText(2), "Test Pattern built in");
    EXPECT_EQ(dlg.m_selected.nIndex, 1); // the first entry is chosen from the start
    dlg.m_combo->setCurrentIndex(1);
    dlg.OnOK();
    EXPECT_EQ(dlg.result(), IDOK);
    EXPECT_STREQ(dlg.m_selected.szDevicePath, "/dev/v4l/by-id/usb-cam-b");
    EXPECT_EQ(dlg.m_selected.nIndex, 2);
}

TEST_F(ConnectSetTest, NoDeviceMeansOnlyCancelLeaves) {
    fakedevices::Scope none({});
    CDevSelDlg dlg;
    dlg.OnInitDialog();
    EXPECT_EQ(dlg.m_combo->count(), 0);
    dlg.OnOK();
    EXPECT_NE(dlg.result(), IDOK);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], QString::fromUtf8("ビデオデバイスが選択されていません"));
}

TEST(AboutDialog, ShowsTheProgramsNameAndVersion) {
    CAboutDlg about;
    EXPECT_EQ(about.windowTitle(), QString::fromUtf8("バージョン情報 Tarnick"));
    bool found = false;
    for (QObject* child : about.children())
        if (auto* label = qobject_cast<QLabel*>(child))
            found = found || label->text() == "Ormidal Version 1.0";
    EXPECT_TRUE(found);
}

} // namespace
