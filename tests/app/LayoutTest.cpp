// The main window's layout: every control by name at its place, with its
// texts, fonts, colours and window properties, and no text clipped.
#include <QAction>
#include <QComboBox>
#include <QFileDialog>
#include <QFontInfo>
#include <QFontMetrics>
#include <QFrame>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QProgressBar>
#include <QSet>
#include <QTimer>
#include <QAbstractItemView>
#include <QStyle>
#include <QToolButton>

#include "tests/app/WindowFixture.h"

namespace {

struct Place {
    const char *name;
    int x, y, w, h;
};

struct LayoutFixture : WindowFixture {
    void SetUp() override {
        WindowFixture::SetUp();
        CreateWindows();
    }
    template <typename T = QWidget>
    T *Child(const char *name) {
        T *child = form->findChild<T *>(QString::fromLatin1(name));
        EXPECT_NE(child, nullptr) << name;
        return child;
    }
};

TEST_F(LayoutFixture, EveryControlStandsAtItsPlace) {
    const Place places[] = {
        {"ToolBar1", 0, 0, 429, 25},      {"ToolButton1", 0, 2, 55, 21},   {"ToolButton2", 55, 2, 55, 21},
        {"ToolButton3", 110, 2, 55, 21},  {"ToolButton4", 165, 2, 8, 21},  {"Label1", 173, 2, 39, 21},
        {"ComboBox1", 212, 2, 217, 21},   {"Panel1", 0, 26, 429, 141},     {"Label2", 50, 16, 78, 13},
        {"Label3", 49, 32, 79, 13},       {"Label4", 45, 48, 83, 13},      {"Label5", 33, 64, 95, 13},
        {"Label6", 79, 80, 49, 13},       {"StaticText1", 136, 16, 201, 15}, {"StaticText2", 136, 32, 41, 15},
        {"StaticText3", 136, 48, 41, 15}, {"StaticText4", 136, 64, 201, 15}, {"StaticText5", 136, 80, 73, 15},
        {"ProgressBar1", 42, 104, 337, 16},
    };
    for (const Place &place : places) {
        QWidget *widget = Child(place.name);
        ASSERT_NE(widget, nullptr);
        EXPECT_EQ(widget->geometry(), QRect(place.x, place.y, place.w, place.h)) << place.name;
    }
    // The five labels end together at 128, the fields begin at 136.
    for (const char *name : {"Label2", "Label3", "Label4", "Label5", "Label6"})
        EXPECT_EQ(Child(name)->geometry().right() + 1, 128) << name;
    EXPECT_EQ(form->centralWidget()->size(), QSize(429, 167));
    EXPECT_EQ(form->ToolBar1->parentWidget(), form->centralWidget());
    EXPECT_EQ(form->Panel1->parentWidget(), form->centralWidget());
    EXPECT_EQ(form->ComboBox1->parentWidget(), form->ToolBar1);
    EXPECT_EQ(form->StaticText1->parentWidget(), form->Panel1);
}

TEST_F(LayoutFixture, DriveListEndsAtTheToolbarsRightEnd) {
    EXPECT_EQ(form->ComboBox1->width(), 217);
    EXPECT_EQ(form->ComboBox1->geometry().right() + 1, form->ToolBar1->width());
}

TEST_F(LayoutFixture, ComponentsCarryTheirNames) {
    EXPECT_EQ(form->objectName(), "Form1");
    EXPECT_EQ(Form1, form.get());
    const std::pair<QObject *, const char *> named[] = {
        {form->Panel1, "Panel1"},           {form->ProgressBar1, "ProgressBar1"}, {form->OpenDialog(), "OpenDialog1"},
        {form->Label2, "Label2"},           {form->Label3, "Label3"},             {form->Label4, "Label4"},
        {form->Label5, "Label5"},           {form->Label6, "Label6"},             {form->StaticText1, "StaticText1"},
        {form->StaticText2, "StaticText2"}, {form->StaticText3, "StaticText3"},   {form->StaticText4, "StaticText4"},
        {form->StaticText5, "StaticText5"}, {form->Timer1, "Timer1"},             {form->MainMenu1, "MainMenu1"},
        {form->System1, "System1"},         {form->Open1, "Open1"},               {form->Exit1, "Exit1"},
        {form->Flash1, "Flash1"},           {form->About1, "About1"},             {form->Download1, "Download1"},
        {form->ToolBar1, "ToolBar1"},       {form->Label1, "Label1"},             {form->ComboBox1, "ComboBox1"},
        {form->ToolButton1, "ToolButton1"}, {form->ToolButton2, "ToolButton2"},   {form->ToolButton3, "ToolButton3"},
        {form->ToolButton4, "ToolButton4"},
    };
    for (const auto &[object, name] : named) {
        ASSERT_NE(object, nullptr) << name;
        EXPECT_EQ(object->objectName(), QString::fromLatin1(name));
    }
}

// The file dialog is not built with the window: OpenDialog() builds it once,
// a child of the main window, and hands out that same dialog from then on.
TEST_F(LayoutFixture, FileDialogIsBuiltOnFirstUse) {
    EXPECT_EQ(form->OpenDialog1, nullptr);
    EXPECT_TRUE(form->findChildren<QFileDialog *>().isEmpty());
    QFileDialog *dialog = form->OpenDialog();
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(form->OpenDialog1, dialog);
    EXPECT_EQ(dialog->parentWidget(), form.get());
    EXPECT_FALSE(dialog->isVisible());
    EXPECT_EQ(form->OpenDialog(), dialog);
    EXPECT_EQ(form->findChildren<QFileDialog *>().size(), 1);
}

TEST_F(LayoutFixture, TextsAreExactlyTheWindowsOwn) {
    EXPECT_EQ(form->windowTitle(), "QUORVEL");
    EXPECT_EQ(form->ToolButton1->text(), "Open");
    EXPECT_EQ(form->ToolButton2->text(), "Down");
    EXPECT_EQ(form->ToolButton3->text(), "About");
    EXPECT_EQ(form->Label1->text(), "DRIVE: ");
    EXPECT_EQ(form->Label2->text(), "MODEL NAME :");
    EXPECT_EQ(form->Label3->text(), "OLD VERSION :");
    EXPECT_EQ(form->Label4->text(), "NEW VERSION :");
    EXPECT_EQ(form->Label5->text(), "DOWNLOAD FILE :");
    EXPECT_EQ(form->Label6->text(), "STATUS :");
    EXPECT_EQ(form->StaticText1->text(), "");
    EXPECT_EQ(form->StaticText2->text(), "");
    EXPECT_EQ(form->StaticText3->text(), "");
    EXPECT_EQ(form->StaticText4->text(), "NOT OPEN");
    EXPECT_EQ(form->StaticText5->text(), "");
    for (QLabel *label : {form->Label1, form->Label2, form->Label3, form->Label4, form->Label5, form->Label6})
        EXPECT_TRUE(label->alignment() & Qt::AlignRight) << label->objectName().toStdString();
    EXPECT_TRUE(form->Label1->alignment() & Qt::AlignVCenter);
    EXPECT_EQ(form->ProgressBar1->minimum(), 0);
    EXPECT_EQ(form->ProgressBar1->maximum(), 100);
    EXPECT_EQ(form->ProgressBar1->value(), 0);
    EXPECT_EQ(form->OpenDialog()->nameFilters(), QStringList{"DOWNLOAD FILE(*.BIN)"});
    EXPECT_EQ(form->Timer1->interval(), 1000);
    EXPECT_FALSE(form->Timer1->isActive());
}

TEST_F(LayoutFixture, MenuHasItsEntriesAndAccessKeys) {
    const QList<QAction *> top = form->MainMenu1->actions();
    ASSERT_EQ(top.size(), 3);
    EXPECT_EQ(top[0]->text(), "&System");
    EXPECT_EQ(top[0]->menu(), form->System1);
    EXPECT_EQ(top[1]->text(), "&Flash");
    EXPECT_EQ(top[1]->menu(), form->Flash1);
    EXPECT_EQ(top[2], form->About1);
    EXPECT_EQ(form->About1->text(), "&About");
    EXPECT_EQ(form->About1->menu(), nullptr);
    ASSERT_EQ(form->System1->actions().size(), 2);
    EXPECT_EQ(form->System1->actions()[0], form->Open1);
    EXPECT_EQ(form->Open1->text(), "&Open");
    EXPECT_EQ(form->System1->actions()[1], form->Exit1);
    EXPECT_EQ(form->Exit1->text(), "E&xit");
    ASSERT_EQ(form->Flash1->actions().size(), 1);
    EXPECT_EQ(form->Flash1->actions()[0], form->Download1);
    EXPECT_EQ(form->Download1->text(), "&Download");
    EXPECT_EQ(form->menuBar(), form->MainMenu1);
    for (QAction *action : {form->Open1, form->Exit1, form->Download1, form->About1})
        EXPECT_TRUE(action->isEnabled());
}

TEST_F(LayoutFixture, WindowIsFixedOnTopWithCloseBoxOnly) {
    const Qt::WindowFlags flags = form->windowFlags();
    EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
    EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
    EXPECT_FALSE(flags & Qt::WindowMinimizeButtonHint);
    EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
    form->show();
    EXPECT_EQ(form->minimumSize(), form->maximumSize());
    EXPECT_EQ(form->width(), 429);
    EXPECT_EQ(form->height(), form->MainMenu1->height() + 167);
}

TEST_F(LayoutFixture, FontsAndColours) {
    EXPECT_EQ(form->font().family(), "MS Sans Serif");
    EXPECT_EQ(form->font().pixelSize(), 12);
    EXPECT_FALSE(form->font().bold());
    EXPECT_EQ(form->Label2->font().family(), "MS Sans Serif");
    EXPECT_EQ(form->StaticText1->font().family(), "MS Sans Serif");
    const QFont status = form->StaticText5->font();
    EXPECT_EQ(status.family(), "Small Fonts");
    EXPECT_EQ(status.pixelSize(), 9);
    EXPECT_TRUE(status.fixedPitch());
    EXPECT_EQ(form->StaticText5->palette().color(form->StaticText5->foregroundRole()), QColor(Qt::red));
    // The bitmap fonts are there (fonts-wine), so no family fell back.
    EXPECT_EQ(QFontInfo(form->font()).family(), "MS Sans Serif");
    EXPECT_EQ(QFontInfo(status).family(), "Small Fonts");

    for (QLabel *field : {form->StaticText1, form->StaticText2, form->StaticText3, form->StaticText4,
                          form->StaticText5}) {
        SCOPED_TRACE(field->objectName().toStdString());
        EXPECT_EQ(field->frameShape(), QFrame::Panel);
        EXPECT_EQ(field->frameShadow(), QFrame::Sunken);
        EXPECT_EQ(field->backgroundRole(), QPalette::ToolTipBase);
        EXPECT_TRUE(field->autoFillBackground());
        EXPECT_EQ(field->focusPolicy(), Qt::NoFocus);
    }
    EXPECT_EQ(form->centralWidget()->backgroundRole(), QPalette::Button);
    EXPECT_EQ(form->Label1->backgroundRole(), QPalette::Button);
    EXPECT_EQ(form->Panel1->frameShadow(), QFrame::Raised);
}

TEST_F(LayoutFixture, ToolbarButtonsAreFlatWithImagesOfBothLists) {
    ASSERT_EQ(form->SeleceImage.size(), 3);
    ASSERT_EQ(form->UnseleceImage.size(), 3);
    QToolButton *buttons[] = {form->ToolButton1, form->ToolButton2, form->ToolButton3};
    for (int i = 0; i < 3; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(form->SeleceImage[i].size(), QSize(16, 15));
        EXPECT_EQ(form->UnseleceImage[i].size(), QSize(16, 15));
        EXPECT_NE(form->SeleceImage[i].toImage(), form->UnseleceImage[i].toImage());
        QToolButton *button = buttons[i];
        EXPECT_TRUE(button->autoRaise());
        EXPECT_EQ(button->toolButtonStyle(), Qt::ToolButtonTextBesideIcon);
        EXPECT_EQ(button->icon().pixmap(QSize(16, 15), QIcon::Normal).toImage(), form->SeleceImage[i].toImage());
        EXPECT_EQ(button->icon().pixmap(QSize(16, 15), QIcon::Active).toImage(), form->UnseleceImage[i].toImage());
        EXPECT_TRUE(button->isEnabled());
    }
}

TEST_F(LayoutFixture, DriveListIsADropDownListThatIsNoTabStop) {
    EXPECT_FALSE(form->ComboBox1->isEditable());
    EXPECT_EQ(form->ComboBox1->focusPolicy() & Qt::TabFocus, 0);
    ASSERT_EQ(form->ComboBox1->count(), 1);
    QStyleOptionViewItem option;
    option.initFrom(form->ComboBox1->view());
    const QSize item = form->ComboBox1->itemDelegate()->sizeHint(option, form->ComboBox1->model()->index(0, 0));
    EXPECT_EQ(item.height(), 13);
}

TEST_F(LayoutFixture, WindowIconIs32By32In16Colours) {
    const QIcon icon = form->windowIcon();
    ASSERT_FALSE(icon.isNull());
    const QImage image = icon.pixmap(QSize(32, 32)).toImage().convertToFormat(QImage::Format_ARGB32);
    EXPECT_EQ(image.size(), QSize(32, 32));
    QSet<QRgb> colours;
    for (int y = 0; y < 32; ++y)
        for (int x = 0; x < 32; ++x)
            if (qAlpha(image.pixel(x, y)) != 0) colours.insert(image.pixel(x, y));
    EXPECT_LE(colours.size(), 16);
    EXPECT_GE(colours.size(), 4);
}

void ExpectNoTextClipped(TForm1 *form) {
    // The widest texts each control shows: its own, and for the fields the
    // longest they are given (a 24-character model, a 4-character version,
    // the status words).
    form->StaticText1->setText("QUORVEL DVDRW-1612B     ");
    form->StaticText2->setText("2.04");
    form->StaticText3->setText("2.10");
    form->StaticText5->setText("WAIT..");
    for (QLabel *label : {form->Label1, form->Label2, form->Label3, form->Label4, form->Label5, form->Label6,
                          form->StaticText1, form->StaticText2, form->StaticText3, form->StaticText4,
                          form->StaticText5}) {
        SCOPED_TRACE(label->objectName().toStdString());
        const QFontMetrics metrics(label->font());
        const QRect room = label->contentsRect();
        EXPECT_LE(metrics.horizontalAdvance(label->text()), room.width());
        EXPECT_LE(metrics.height(), room.height());
    }
    for (const char *word : {"READY", "FAIL", "OK"})
        EXPECT_LE(QFontMetrics(form->StaticText5->font()).horizontalAdvance(word),
                  form->StaticText5->contentsRect().width());
    // A button's caption stands right of its image inside the button's frame.
    for (QToolButton *button : {form->ToolButton1, form->ToolButton2, form->ToolButton3}) {
        const int frame = button->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, nullptr, button);
        const int room = button->width() - 2 * frame - button->iconSize().width() - 4;
        EXPECT_LE(QFontMetrics(button->font()).horizontalAdvance(button->text()), room)
            << button->text().toStdString();
        EXPECT_LE(QFontMetrics(button->font()).height(), button->height() - 2 * frame);
    }
}

TEST_F(LayoutFixture, NoTextIsClipped) { ExpectNoTextClipped(form.get()); }

TEST_F(LayoutFixture, NoTextIsClippedInAWiderFontEither) {
    // Without the window's own fonts a wider family stands in: the window
    // makes it small enough.
    QFont wide(QStringLiteral("DejaVu Sans"));
    wide.setPixelSize(12);
    form->setFont(wide);
    form->FitTextsToTheirPlaces();
    ExpectNoTextClipped(form.get());
}

}  // namespace
