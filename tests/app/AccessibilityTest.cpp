// What assistive technology is told about the main window: each read-only
// field is labelled by its caption and the drive list by "DRIVE:", while the
// names stay what the controls show. The same relations reach AT-SPI as
// labelled-by (tests/app/atspi-e2e.sh checks that end).
#include <QAccessible>
#include <QComboBox>
#include <QLabel>
#include <QProgressBar>

#include "tests/app/WindowFixture.h"

namespace {

struct AccessibilityFixture : WindowFixture {
    void SetUp() override {
        WindowFixture::SetUp();
        aspi.AddDevice(0, 3, 0x05, "QUORVEL DVDRW-1612B     2.04");
        CreateWindows();
    }
    static QAccessibleInterface *Of(QObject *object) { return QAccessible::queryAccessibleInterface(object); }
    // The widgets that label `object`, as a screen reader finds them.
    static QList<QObject *> LabelsOf(QObject *object) {
        QList<QObject *> labels;
        for (const auto &relation : Of(object)->relations(QAccessible::Label)) labels << relation.first->object();
        return labels;
    }
};

TEST_F(AccessibilityFixture, EachFieldIsLabelledByItsCaptionAndNamedByItsText) {
    const std::pair<QLabel *, QLabel *> pairs[] = {
        {form->Label2, form->StaticText1}, {form->Label3, form->StaticText2}, {form->Label4, form->StaticText3},
        {form->Label5, form->StaticText4}, {form->Label6, form->StaticText5},
    };
    for (const auto &[caption, field] : pairs) {
        EXPECT_EQ(LabelsOf(field), QList<QObject *>{caption}) << field->objectName().toStdString();
        // The caption names the field it labels, and is no field's label itself.
        const auto labelled = Of(caption)->relations(QAccessible::Labelled);
        ASSERT_EQ(labelled.size(), 1) << caption->objectName().toStdString();
        EXPECT_EQ(labelled.first().first->object(), field);
        EXPECT_TRUE(LabelsOf(caption).isEmpty()) << caption->objectName().toStdString();
    }
    form->SetField(Field::OldVersion, "1.10");
    EXPECT_EQ(Of(form->StaticText2)->text(QAccessible::Name), "1.10");
    EXPECT_EQ(Of(form->Label3)->text(QAccessible::Name), "OLD VERSION :");
    EXPECT_EQ(Of(form->StaticText4)->text(QAccessible::Name), "NOT OPEN");
}

TEST_F(AccessibilityFixture, DriveListIsLabelledByDriveAndNamedByItsCurrentEntry) {
    // The bar has no caption beside it: it carries a name of its own.
    EXPECT_EQ(Of(form->ProgressBar1)->text(QAccessible::Name), "Download progress");
    EXPECT_EQ(LabelsOf(form->ComboBox1), QList<QObject *>{form->Label1});
    EXPECT_EQ(Of(form->Label1)->text(QAccessible::Name), "DRIVE: ");
    ASSERT_EQ(form->DriveEntryCount(), 2);
    EXPECT_EQ(Of(form->ComboBox1)->text(QAccessible::Name), form->ComboBox1->itemText(0));
    form->ShowDriveEntry(1);
    EXPECT_EQ(Of(form->ComboBox1)->text(QAccessible::Name), form->ComboBox1->itemText(1));
}

}  // namespace
