// MessageBoxA on the Qt layer: caption, text, icon, buttons, modality and
// on-top flag of each kind of box the program shows, and the answer for every
// way of closing the box.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTest>
#include <QWidget>

#include "platform/win32.h"
#include "platform/window/win32_window.h"
#include "tests/platform/BoxWatch.h"

namespace {

struct Seen {
    bool shown = false;
    QString title;
    QString text;
    Qt::TextFormat format = Qt::AutoText;
    QMessageBox::Icon icon = QMessageBox::Information;
    QMessageBox::StandardButtons buttons;
    bool onTop = false;
    Qt::WindowModality modality = Qt::NonModal;
    QWidget *parent = nullptr;
};

// Records the open box, then closes it by clicking `button`.
void RecordAndClick(Seen *seen, QMessageBox::StandardButton button) {
    WhenBoxShown([seen, button](QMessageBox *box) {
        seen->shown = true;
        seen->title = box->windowTitle();
        seen->text = box->text();
        seen->format = box->textFormat();
        seen->icon = box->icon();
        seen->buttons = box->standardButtons();
        seen->onTop = box->windowFlags().testFlag(Qt::WindowStaysOnTopHint);
        seen->modality = box->windowModality();
        seen->parent = box->parentWidget();
        QAbstractButton *target = box->button(button);
        ASSERT_NE(target, nullptr);
        target->click();
    });
}

class Boxes : public ::testing::Test {
protected:
    void SetUp() override {
        owner.setWindowTitle(QStringLiteral("QUORVEL"));
        owner.show();
    }
    QWidget owner;
};

}  // namespace

TEST_F(Boxes, ErrorBoxIsSystemModalWithErrorIcon) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, "Run in WINDOWS 98/ME !!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR), IDOK);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.title, QStringLiteral("MESSAGE"));
    EXPECT_EQ(seen.text, QStringLiteral("Run in WINDOWS 98/ME !!"));
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(seen.onTop);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
    EXPECT_EQ(seen.parent, &owner);
}

TEST_F(Boxes, NoticeHasNoIconAndKeepsBlanksAndLineBreak) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, "  DOWNLOAD OK!!  \nRestart WINDOWS", "MESSAGE", MB_SYSTEMMODAL), IDOK);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.text, QStringLiteral("  DOWNLOAD OK!!  \nRestart WINDOWS"));
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_EQ(seen.buttons, QMessageBox::StandardButtons(QMessageBox::Ok));
    EXPECT_TRUE(seen.onTop);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
}

TEST_F(Boxes, TextBytesAreShownOneByteOneCharacter) {
    // a drive model with a byte above 0x7E, as INQUIRY may report it
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, "ACME    LECTEUR \xC9" "CRAN   ", "CHANGE DRIVE", MB_SYSTEMMODAL), IDOK);
    EXPECT_EQ(seen.text, QString::fromLatin1("ACME    LECTEUR \xC9" "CRAN   "));
    EXPECT_EQ(seen.text.size(), 24);
}

TEST_F(Boxes, DriveChangeNoticeCaption) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, "VENDOR  MODEL", "CHANGE DRIVE", MB_SYSTEMMODAL), IDOK);
    EXPECT_EQ(seen.title, QStringLiteral("CHANGE DRIVE"));
}

TEST_F(Boxes, ApplicationModalErrorIsNotKeptOnTop) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, "Different Model !!", "MESSAGE", MB_ICONERROR), IDOK);
    ASSERT_TRUE(seen.shown);
    EXPECT_EQ(seen.icon, QMessageBox::Critical);
    EXPECT_FALSE(seen.onTop);
    EXPECT_EQ(seen.modality, Qt::ApplicationModal);
}

TEST_F(Boxes, TextIsNeverReadAsMarkup) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    MessageBoxA(&owner, "<b>FW</b> &amp; <i>x</i>", "MESSAGE", MB_SYSTEMMODAL);
    EXPECT_EQ(seen.format, Qt::PlainText);
    EXPECT_EQ(seen.text, QStringLiteral("<b>FW</b> &amp; <i>x</i>"));
}

TEST_F(Boxes, QuestionAnswersOkOrCancel) {
    const char *prompt = "File Open OK !!\n(65536b 64Kb 3Cmd)\n\n DOWNLOAD START !!";
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(&owner, prompt, "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDOK);
    EXPECT_EQ(seen.buttons, QMessageBox::Ok | QMessageBox::Cancel);
    EXPECT_EQ(seen.icon, QMessageBox::NoIcon);
    EXPECT_TRUE(seen.onTop);
    EXPECT_EQ(seen.text, QString::fromLatin1(prompt));

    Seen second;
    RecordAndClick(&second, QMessageBox::Cancel);
    EXPECT_EQ(MessageBoxA(&owner, prompt, "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDCANCEL);
    EXPECT_TRUE(second.shown);
}

TEST_F(Boxes, EscapeAndCloseBoxCancelAQuestion) {
    WhenBoxShown([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(MessageBoxA(&owner, "Q", "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDCANCEL);
    WhenBoxShown([](QMessageBox *box) { box->close(); });
    EXPECT_EQ(MessageBoxA(&owner, "Q", "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDCANCEL);
}

TEST_F(Boxes, EscapeAndCloseBoxAnswerOkForOkOnly) {
    WhenBoxShown([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); });
    EXPECT_EQ(MessageBoxA(&owner, "N", "MESSAGE", MB_SYSTEMMODAL), IDOK);
    WhenBoxShown([](QMessageBox *box) { box->close(); });
    EXPECT_EQ(MessageBoxA(&owner, "N", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR), IDOK);
}

TEST_F(Boxes, EnterTakesTheDefaultOk) {
    WhenBoxShown([](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Return); });
    EXPECT_EQ(MessageBoxA(&owner, "Q", "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDOK);
}

TEST_F(Boxes, OwnerGoneWhileOpenGivesCancelWithoutCrash) {
    auto *transient = new QWidget;
    transient->show();
    WhenBoxShown([transient](QMessageBox *) { delete transient; });
    EXPECT_EQ(MessageBoxA(transient, "Q", "MESSAGE", MB_SYSTEMMODAL | MB_OKCANCEL), IDCANCEL);
}

TEST(BoxesWithoutOwner, ShownAllTheSame) {
    Seen seen;
    RecordAndClick(&seen, QMessageBox::Ok);
    EXPECT_EQ(MessageBoxA(nullptr, "ASPI Not Found!!", "MESSAGE", MB_SYSTEMMODAL | MB_ICONERROR), IDOK);
    EXPECT_TRUE(seen.shown);
    EXPECT_EQ(seen.parent, nullptr);
}
