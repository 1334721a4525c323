// The About dialog: created once, on first use, shown modally by the About command from the
// toolbar and the menu, the same object each time; OK and the close box hide it.
#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QFontInfo>
#include <QFontMetrics>
#include <QKeyEvent>
#include <QTest>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <functional>

#include "tests/app/WindowFixture.h"

namespace {

struct AboutFixture : WindowFixture {
    void SetUp() override {
        WindowFixture::SetUp();
        CreateWindows();
        // Built on first use; what the tests below read is the dialog as the
        // first About builds it.
        form->AboutDialog();
    }
    // Runs `whileOpen` once the modal show has begun, then `command`; returns
    // whether the dialog was visible and modal while open.
    bool RunAbout(const std::function<void()> &command, const std::function<void()> &whileOpen) {
        bool sawModal = false;
        QTimer::singleShot(0, [&] {
            sawModal = Form2->isVisible() && Form2->isModal() && QApplication::activeModalWidget() == Form2;
            whileOpen();
        });
        command();
        return sawModal;
    }
};

TEST_F(AboutFixture, CreatedHiddenWithItsTexts) {
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_EQ(Form2->objectName(), "Form2");
    EXPECT_EQ(Form2->windowTitle(), "ABOUT QUORVEL");
    EXPECT_EQ(Form2->Label1->text(), "QUORVEL Ver S2.02");
    EXPECT_EQ(Form2->Label2->text(), "Flash Download For Windows 98/ME");
    EXPECT_EQ(Form2->Label4->text(), "2001.5.");
    EXPECT_FALSE(Form2->Label3->text().isEmpty());
    EXPECT_FALSE(Form2->Label5->text().isEmpty());
    EXPECT_EQ(Form2->Button1->text(), "&OK");
    EXPECT_FALSE(Form2->Button1->isDefault());
    EXPECT_FALSE(Form2->Button1->autoDefault());
    ASSERT_NE(Form2->Image1->pixmap().isNull(), true);
    EXPECT_EQ(Form2->Image1->pixmap().size(), QSize(32, 32));
}

TEST_F(AboutFixture, LayoutFontAndFrame) {
    EXPECT_EQ(Form2->size(), QSize(251, 163));
    EXPECT_EQ(Form2->minimumSize(), Form2->maximumSize());
    EXPECT_EQ(Form2->Button1->geometry(), QRect(97, 136, 57, 17));
    EXPECT_EQ(Form2->Image1->geometry(), QRect(109, 24, 33, 33));
    const std::pair<QLabel *, QPoint> lines[] = {
        {Form2->Label1, {82, 8}},  {Form2->Label2, {45, 64}},  {Form2->Label3, {75, 80}},
        {Form2->Label4, {108, 96}}, {Form2->Label5, {47, 112}},
    };
    for (const auto &[label, at] : lines) {
        SCOPED_TRACE(label->objectName().toStdString());
        EXPECT_EQ(label->pos(), at);
        // Sized to its text: nothing clipped, and roughly centred in 251.
        const QFontMetrics metrics(label->font());
        EXPECT_GE(label->width(), metrics.horizontalAdvance(label->text()));
        EXPECT_GE(label->height(), metrics.height());
        const int middle = label->x() + label->width() / 2;
        EXPECT_NEAR(middle, 125, 6);
        EXPECT_LE(label->geometry().right(), 250);
        EXPECT_EQ(label->focusPolicy(), Qt::NoFocus);
    }
    EXPECT_EQ(Form2->font().family(), "Small Fonts");
    EXPECT_EQ(Form2->font().pixelSize(), 9);
    EXPECT_EQ(QFontInfo(Form2->font()).family(), "Small Fonts");
    const Qt::WindowFlags flags = Form2->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(Form2->windowIcon().isNull());
    EXPECT_FALSE(form->windowIcon().isNull());
    EXPECT_GE(QFontMetrics(Form2->Button1->font()).horizontalAdvance("OK"), 1);
}

TEST_F(AboutFixture, ToolbarAboutShowsModallyAndOkHidesIt) {
    TForm2 *before = Form2;
    bool focusOnOk = false;
    const bool modal = RunAbout([&] { form->ToolButton3->click(); },
                                [&] {
                                    focusOnOk = Form2->focusWidget() == Form2->Button1;
                                    Form2->Button1->click();
                                });
    EXPECT_TRUE(modal);
    EXPECT_TRUE(focusOnOk);
    EXPECT_FALSE(Form2->isVisible());
    EXPECT_EQ(Form2, before);
}

TEST_F(AboutFixture, MenuAboutShowsTheSameObjectAndTheCloseBoxHidesIt) {
    TForm2 *before = Form2;
    for (int round = 0; round < 2; ++round) {
        const bool modal = RunAbout([&] { form->About1->trigger(); }, [&] {
            QCloseEvent closeBox;
            QApplication::sendEvent(Form2, &closeBox);
        });
        EXPECT_TRUE(modal);
        EXPECT_FALSE(Form2->isVisible());
        EXPECT_EQ(Form2, before);
        EXPECT_EQ(Form2->Label1->text(), "QUORVEL Ver S2.02");
    }
    EXPECT_TRUE(layer.Boxes().empty());
}

TEST_F(AboutFixture, EscapeIsNoCancel) {
    bool stillOpen = false;
    RunAbout([&] { form->ToolButton3->click(); },
             [&] {
                 QKeyEvent escape(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
                 QApplication::sendEvent(Form2, &escape);
                 stillOpen = Form2->isVisible();
                 Form2->Button1->click();
             });
    EXPECT_TRUE(stillOpen);
    EXPECT_FALSE(Form2->isVisible());
}

TEST_F(AboutFixture, EnterAndTheSpaceBarOnTheFocusedOkCloseIt) {
    for (const Qt::Key key : {Qt::Key_Return, Qt::Key_Enter, Qt::Key_Space}) {
        bool focused = false;
        bool closedByKey = false;
        RunAbout([&] { form->ToolButton3->click(); },
                 [&] {
                     focused = Form2->focusWidget() == Form2->Button1;
                     QTest::keyClick(Form2->Button1, key);
                     closedByKey = !Form2->isVisible();
                     if (Form2->isVisible()) Form2->Button1->click();  // never leave the test hanging
                 });
        EXPECT_TRUE(focused) << key;
        EXPECT_FALSE(Form2->isVisible()) << key;
        EXPECT_TRUE(closedByKey) << key;
    }
}

TEST_F(AboutFixture, AboutChangesNoState) {
    const uint8_t index = SelectedIndex, target = SelectedTarget;
    const int32_t size = ImageSize;
    RunAbout([&] { form->ToolButton3->click(); }, [&] { Form2->Button1->click(); });
    EXPECT_EQ(SelectedIndex, index);
    EXPECT_EQ(SelectedTarget, target);
    EXPECT_EQ(ImageSize, size);
    EXPECT_EQ(form->StaticText4->text(), "NOT OPEN");
}

// Not built with the main window: the first About builds it, owned by the main
// window, and every later About shows that same dialog.
TEST_F(WindowFixture, AboutDialogIsBuiltByTheFirstAbout) {
    CreateWindows();
    EXPECT_EQ(Form2, nullptr);
    EXPECT_TRUE(form->findChildren<QDialog *>().isEmpty());
    TForm2 *shown = nullptr;
    QTimer::singleShot(0, [&] {
        shown = dynamic_cast<TForm2 *>(QApplication::activeModalWidget());
        if (Form2 != nullptr) Form2->Button1->click();
    });
    form->ToolButton3->click();
    ASSERT_NE(Form2, nullptr);
    EXPECT_EQ(shown, Form2);
    EXPECT_EQ(Form2->parentWidget(), form.get());
    EXPECT_EQ(Form2->objectName(), "Form2");
    EXPECT_EQ(form->AboutDialog(), Form2);
    TForm2 *first = Form2;
    QTimer::singleShot(0, [&] { Form2->Button1->click(); });
    form->About1->trigger();
    EXPECT_EQ(Form2, first);
}

// The dialog goes with the main window that owns it, and with it its name.
TEST_F(WindowFixture, AboutDialogGoesWithTheMainWindow) {
    CreateWindows();
    QPointer<TForm2> about = form->AboutDialog();
    form.reset();
    EXPECT_EQ(Form2, nullptr);
    EXPECT_TRUE(about.isNull());
}

}  // namespace
